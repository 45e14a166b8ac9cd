#include "poller.h"

#include "log.h"
#include "payload.h"
#include "process_image.h"

#include <ctime>

namespace gateway {

Poller::Poller(const ModuleConfig &m, Sink &sink, std::chrono::milliseconds phase, Backoff b,
               ModuleMetrics *metrics)
    : m_(m), sink_(sink), phase_(phase), backoff_(b), metrics_(metrics),
      random_(static_cast<unsigned>(std::hash<std::string>{}(m.name))),
      thread_([this](std::stop_token st) { run(st); })
{
}

Poller::~Poller()
{
    stop();
}

void Poller::stop()
{
    if (!thread_.joinable())
        return;
    thread_.request_stop();
    thread_.join();
}

// A plain timed sleep, the cheapest wake-up there is, in slices so that a
// stop is seen within one: hundreds of pollers wake ten times a second each.
bool Poller::sleep_until(std::stop_token &st, clock::time_point t)
{
    constexpr auto slice = std::chrono::milliseconds(200);
    while (!st.stop_requested()) {
        const auto now = clock::now();
        if (now >= t)
            return true;
        const auto until = std::min(t, now + slice);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
        const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    return false;
}

void Poller::run(std::stop_token st)
{
    kiv::client client(m_.address, m_.modbus_port, m_.connect_timeout_ms);
    const auto interval = std::chrono::milliseconds(m_.interval_ms);
    auto next = clock::now() + phase_;
    while (sleep_until(st, next)) {
        // seq counts the poll periods, so that a gap in it shows a period
        // that published nothing.
        ++seq_;
        if (client.connected() || clock::now() >= retry_at_)
            poll_once(client);
        next += interval;
        // Periods that an overlong poll used up are skipped, not run late in
        // a burst.
        const auto now = clock::now();
        if (next <= now) {
            const auto missed = (now - next) / interval + 1;
            next += missed * interval;
            seq_ += static_cast<std::uint64_t>(missed);
        }
    }
}

void Poller::poll_once(kiv::client &c)
{
    const bool was_connected = c.connected();
    const unsigned long connects = c.connects();
    auto image = read_process_image(c, m_.model, m_.timeout_ms, metrics_);
    if (image) {
        if (metrics_)
            metrics_->poll_succeeded(*image);
        delay_ = {};
        set_online(true, "");
        sink_.values(m_.name, values_json(m_.name, seq_, *image));
        return;
    }
    if (metrics_)
        metrics_->poll_failed();
    const std::string why = kiv::result_text(image.code()) + " (" + kiv::result_name(image.code()) + ")";
    // A connect that failed (not an exchange on a fresh connection) waits
    // out the backoff before the next one.
    if (!was_connected && c.connects() == connects)
        connect_failed();
    set_online(false, why);
    log(Level::debug, "module " + m_.name + ": poll " + std::to_string(seq_) + " failed: " + why);
}

void Poller::connect_failed()
{
    delay_ = delay_.count() == 0 ? backoff_.first : std::min(delay_ * 2, backoff_.last);
    std::uniform_real_distribution<double> spread(0.8, 1.2);
    const auto wait = std::chrono::duration_cast<clock::duration>(delay_ * spread(random_));
    retry_at_ = clock::now() + wait;
}

void Poller::set_online(bool online, const std::string &why)
{
    if (online_ == static_cast<int>(online))
        return;
    online_ = online;
    if (online)
        log(Level::info, "module " + m_.name + " online at " + m_.address + ":" + std::to_string(m_.modbus_port));
    else
        log(Level::warn, "module " + m_.name + " offline: " + why);
    sink_.module_status(m_.name, online);
}

} // namespace gateway
