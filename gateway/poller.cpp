#include "poller.h"

#include "log.h"
#include "outputs.h"
#include "payload.h"
#include "process_image.h"
#include "settings.h"

#include <ctime>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace gateway {

Poller::Poller(const ModuleConfig &m, Sink &sink, std::chrono::milliseconds phase, Backoff b,
               ModuleMetrics *metrics)
    : m_(m), sink_(sink), phase_(phase), backoff_(b), metrics_(metrics),
      random_(static_cast<unsigned>(std::hash<std::string>{}(m.name))),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      thread_([this](std::stop_token st) { run(st); })
{
}

Poller::~Poller()
{
    stop();
    if (wake_fd_ >= 0)
        ::close(wake_fd_);
}

void Poller::stop()
{
    if (!thread_.joinable())
        return;
    thread_.request_stop();
    wake();
    thread_.join();
}

void Poller::post_output(int channel, bool on)
{
    {
        std::lock_guard lock(commands_mu_);
        commands_.push_back({channel, on});
    }
    wake();
}

void Poller::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof one);
}

bool Poller::sleep_until(std::stop_token &st, clock::time_point t, kiv::client &c)
{
    for (;;) {
        if (st.stop_requested())
            return false;
        run_commands(c);
        const auto now = clock::now();
        if (now >= t)
            return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - now).count();
        const timespec left{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p{wake_fd_, POLLIN, 0};
        if (::ppoll(&p, 1, &left, nullptr) > 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto n = ::read(wake_fd_, &count, sizeof count);
        }
    }
}

void Poller::run_commands(kiv::client &c)
{
    for (;;) {
        OutputCommand cmd{};
        {
            std::lock_guard lock(commands_mu_);
            if (commands_.empty())
                return;
            cmd = commands_.front();
            commands_.pop_front();
        }
        const std::string what = "module " + m_.name + ": output " + std::to_string(cmd.channel);
        auto r = switch_output(c, m_.model, m_.timeout_ms, cmd.channel, cmd.on);
        if (r) {
            log(Level::info, what + (*r ? " on" : " off"));
            sink_.output_state(m_.name, cmd.channel, *r);
        } else {
            const std::string name = kiv::result_name(r.code());
            log(Level::warn, what + " not switched: " + kiv::result_text(r.code()) + " (" + name + ")");
            sink_.output_error(m_.name, cmd.channel, name);
        }
    }
}

void Poller::run(std::stop_token st)
{
    kiv::client client(m_.address, m_.modbus_port, m_.connect_timeout_ms);
    const auto interval = std::chrono::milliseconds(m_.interval_ms);
    auto next = clock::now() + phase_;
    while (sleep_until(st, next, client)) {
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
        // At start and whenever it comes back (a restart among others), the
        // module gets its declared settings.
        if (online_ != 1 && m_.settings)
            apply_declared_settings();
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

void Poller::apply_declared_settings()
{
    std::string report = apply_settings(m_);
    log(Level::info, "module " + m_.name + " settings: " + report);
    sink_.settings_report(m_.name, std::move(report));
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
