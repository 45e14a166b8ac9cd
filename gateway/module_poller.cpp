#include "module_poller.h"

#include "log.h"
#include "log_limit.h"
#include "settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gateway {

namespace {

bool breaks_connection(int code)
{
    // A Modbus exception and a reply of the wrong shape are whole frames:
    // the stream is still in step. Anything the socket itself reported is
    // not.
    return code == KIV_ERR_DISCONNECTED || (code > 0 && code < 1000);
}

std::string why(int code)
{
    return kiv::result_text(code) + " (" + kiv::result_name(code) + ")";
}

} // namespace

ModulePoller::ModulePoller(std::size_t index, const ModuleConfig &m, PollerContext ctx)
    : index_(index), m_(m), model_(*m.traits), ctx_(ctx), interval_(m.interval_ms)
{
    ctx_.backoff.seed(static_cast<unsigned>(std::hash<std::string>{}(m.name)));
    in_addr a{};
    if (::inet_pton(AF_INET, m.address.c_str(), &a) == 1)
        ip_ = m.address;
    image_.model = m.model;
}

ModulePoller::~ModulePoller()
{
    close_connection();
}

void ModulePoller::start(Clock::time_point first_poll, std::uint64_t seq)
{
    next_period_ = first_poll;
    seq_ = seq;
    rearm();
}

void ModulePoller::stop()
{
    close_connection();
    phase_ = Phase::stopped;
    job_ = Job::none;
    commands_.clear();
    held_.reset();
}

void ModulePoller::post(const OutputCommand &c)
{
    if (phase_ == Phase::stopped)
        return;
    if (commands_.size() >= command_queue_limit) {
        log_limited(Level::warn, "module " + m_.name + " commands refused",
                    "module " + m_.name + ": output " + std::to_string(c.channel) +
                        " not switched: too many commands waiting");
        ctx_.out.command_result({index_, c.channel, EBUSY, false});
        return;
    }
    commands_.push_back(c);
    next_job();
    rearm();
}

void ModulePoller::expired(std::uint64_t tag)
{
    if (tag != timer_tag_ || phase_ == Phase::stopped)
        return;
    armed_at_ = Clock::time_point::max();
    const auto now = Clock::now();
    if (deadline_ && now >= *deadline_) {
        const auto due = *deadline_;
        deadline_.reset();
        if (phase_ == Phase::connecting)
            connect_failed(KIV_ERR_TIMEOUT);
        else if (phase_ == Phase::exchanging)
            step_done(KIV_ERR_TIMEOUT, {}, due);
    }
    if (phase_ != Phase::stopped && now >= next_period_)
        period_due(now);
    rearm();
}

void ModulePoller::period_due(Clock::time_point now)
{
    // seq counts the poll periods, so that a gap in it shows a period that
    // published nothing. Periods that an overlong poll used up are skipped,
    // not run late in a burst.
    ++seq_;
    next_period_ += interval_;
    if (next_period_ <= now) {
        const auto missed = (now - next_period_) / interval_ + 1;
        next_period_ += missed * interval_;
        seq_ += static_cast<std::uint64_t>(missed);
    }
    if (job_ == Job::poll)
        return;
    if (job_ != Job::none || phase_ == Phase::settings) {
        poll_pending_ = true;
        return;
    }
    start_job(Job::poll);
}

void ModulePoller::start_job(Job j)
{
    job_ = j;
    step_ = 0;
    if (j == Job::poll)
        job_seq_ = seq_;
    if (fd_ >= 0) {
        send_step();
        return;
    }
    if (Clock::now() < retry_at_) {
        // Waiting out the backoff: the period passes unpolled, and a command
        // is answered with what the last connect found.
        if (j == Job::poll) {
            job_ = Job::none;
            next_job();
        } else {
            job_done(last_connect_code_);
        }
        return;
    }
    connect();
}

void ModulePoller::connect()
{
    if (ip_ != m_.address) {
        // A host name, looked up again at every connect by a worker, so that
        // a module that moved is found where it is now.
        phase_ = Phase::resolving;
        auto inbox = ctx_.loop.inbox();
        const bool taken = ctx_.workers.run([this, inbox, name = m_.address] {
            std::string ip = kiv::resolve_ipv4(name);
            inbox->post([this, ip = std::move(ip)] {
                if (phase_ != Phase::resolving)
                    return;
                phase_ = Phase::idle;
                ip_ = ip;
                if (ip_.empty())
                    connect_failed(EHOSTUNREACH);
                else
                    open_socket();
                rearm();
            });
        });
        if (!taken) {
            phase_ = Phase::idle;
            connect_failed(EAGAIN);
        }
        return;
    }
    open_socket();
}

void ModulePoller::open_socket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        connect_failed(errno);
        return;
    }
    // Requests are whole frames sent at once: nothing to gain from Nagle.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(m_.modbus_port));
    ::inet_pton(AF_INET, ip_.c_str(), &peer.sin_addr);
    // From here connect_failed() closes the socket, registered or not.
    fd_ = fd;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0) {
        if (!ctx_.loop.watch(fd_, EPOLLIN, this))
            connect_failed(errno);
        else
            connected();
        return;
    }
    if (errno != EINPROGRESS || !ctx_.loop.watch(fd_, EPOLLOUT, this)) {
        connect_failed(errno);
        return;
    }
    phase_ = Phase::connecting;
    deadline_ = Clock::now() + std::chrono::milliseconds(m_.connect_timeout_ms);
}

void ModulePoller::connected()
{
    if (ctx_.observer)
        ctx_.observer->connected(index_, 0);
    phase_ = Phase::idle;
    deadline_.reset();
    rx_len_ = 0;
    timeouts_in_row_ = 0;
    fresh_connection_ = true;
    ctx_.backoff.reset();
    if (job_ != Job::none)
        send_step();
}

void ModulePoller::connect_failed(int code)
{
    if (ctx_.observer)
        ctx_.observer->connected(index_, code);
    close_connection();
    last_connect_code_ = code;
    retry_at_ = Clock::now() + ctx_.backoff.next();
    if (job_ != Job::none)
        job_done(code);
}

void ModulePoller::ready(std::uint32_t events)
{
    if (fd_ < 0)
        return;
    if (phase_ == Phase::connecting) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
            return;
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err != 0) {
            connect_failed(err);
        } else if (!ctx_.loop.change(fd_, EPOLLIN, this)) {
            connect_failed(errno);
        } else {
            connected();
        }
        rearm();
        return;
    }
    on_readable();
    rearm();
}

void ModulePoller::on_readable()
{
    // The kernel's time of arrival comes with the bytes: the loop may take
    // them up to a quantum later, and neither the poll's time nor whether
    // a reply beat its deadline may depend on that.
    iovec iov{rx_.data() + rx_len_, rx_.size() - rx_len_};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control.data();
    mh.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(fd_, &mh, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    arrived_ = Clock::now();
    arrived_wall_ = std::chrono::system_clock::now();
    for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec ts{};
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        const std::chrono::system_clock::time_point wall{std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec))};
        const auto behind = arrived_wall_ - wall;
        if (behind > std::chrono::system_clock::duration::zero() && behind < std::chrono::seconds(1)) {
            arrived_ -= std::chrono::duration_cast<Clock::duration>(behind);
            arrived_wall_ = wall;
        }
    }
    if (n <= 0) {
        const int code = n == 0 ? KIV_ERR_DISCONNECTED : errno;
        debug([&] { return "connection closed: " + why(code); });
        stream_broken(code);
        return;
    }
    rx_len_ += static_cast<std::size_t>(n);
    const int fd = fd_;
    while (fd_ == fd) {
        const std::span<const unsigned char> have{rx_.data(), rx_len_};
        const std::size_t size = kiv::mb::frame_size(have);
        if (size > kiv::mb::max_frame_size || (size > 0 && kiv::mb::get_u16(have, kiv::mb::off_protocol) != 0)) {
            // Not Modbus/TCP, or not in step with it: nothing after this can
            // be trusted to start a frame.
            debug([&] { return "a reply that cannot be framed"; });
            stream_broken(KIV_ERR_RESPONSE);
            return;
        }
        if (size == 0 || size > rx_len_)
            return;
        std::array<unsigned char, kiv::mb::max_frame_size> frame{};
        std::memcpy(frame.data(), rx_.data(), size);
        std::memmove(rx_.data(), rx_.data() + size, rx_len_ - size);
        rx_len_ -= size;
        on_reply({frame.data(), size});
    }
}

// Closed, and the exchange that waited on it (if one did) failed with code.
void ModulePoller::stream_broken(int code)
{
    const bool awaited = phase_ == Phase::exchanging;
    close_connection();
    if (awaited)
        step_done(code, {}, arrived_);
}

void ModulePoller::on_reply(std::span<const unsigned char> frame)
{
    bool awaited = phase_ == Phase::exchanging && kiv::mb::transaction_of(frame) == transaction_;
    if (awaited && deadline_ && arrived_ > *deadline_) {
        // Taken in the same turn as its deadline, but it came after it.
        step_done(KIV_ERR_TIMEOUT, {}, *deadline_);
        awaited = false;
    }
    if (!awaited) {
        // The answer to a request whose time ran out: never a value.
        debug([&] { return "a late reply dropped"; });
        return;
    }
    const kiv::mb::Judged j = judge_reply(request_, frame);
    step_done(j.code, j.data, arrived_);
}

void ModulePoller::send_step()
{
    // A poll's reads go out together, each with an id of its own, in one
    // segment: the module answers them in turn, and the poll costs one send
    // and one wake-up of the module rather than one per read. Where the
    // configuration says a module takes one request at a time, or for a
    // command (whose read-back must follow its write), one request goes.
    std::array<unsigned char, kiv::mb::request_size * 3> frames{};
    std::size_t len = 0;
    // Only while the module answers in time: one that is late gets one
    // request at a time, so that late answers do not pile up in it.
    const bool together = job_ == Job::poll && m_.pipeline && online_ == 1 && failed_polls_ == 0;
    const std::size_t count = together ? model_.poll().size() - step_ : 1;
    for (std::size_t i = 0; i < count; ++i) {
        const Request r = job_ == Job::poll ? poll_request(model_.poll()[step_ + i])
                          : step_ == 0      ? write_output(command_.channel, command_.on)
                                            : read_output(command_.channel);
        if (i == 0) {
            request_ = r;
            transaction_ = next_id_;
        }
        len += build_request(r, std::span{frames}.subspan(len), next_id_++);
    }
    in_flight_ = count;
    sent_at_ = Clock::now();
    phase_ = Phase::exchanging;
    const ssize_t sent = ::send(fd_, frames.data(), len, MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(len)) {
        // A socket that takes only part of a few dozen bytes is not one to
        // go on with.
        step_done(sent < 0 ? errno : EAGAIN, {}, sent_at_);
        return;
    }
    deadline_ = sent_at_ + std::chrono::milliseconds(m_.timeout_ms);
}

// The next reply of those sent together: it has its own timeout from now,
// as if its request had just been sent.
void ModulePoller::await_next()
{
    request_ = poll_request(model_.poll()[step_]);
    ++transaction_;
    --in_flight_;
    sent_at_ = arrived_;
    phase_ = Phase::exchanging;
    deadline_ = sent_at_ + std::chrono::milliseconds(m_.timeout_ms);
}

void ModulePoller::step_done(int code, std::span<const unsigned char> data, Clock::time_point at)
{
    phase_ = Phase::idle;
    deadline_.reset();
    if (ctx_.observer)
        ctx_.observer->exchanged(index_, code, at - sent_at_);
    if (code == KIV_ERR_TIMEOUT) {
        // A module that is late now and then keeps its connection; one that
        // stopped answering gets a fresh one.
        if (++timeouts_in_row_ >= timeouts_that_close)
            close_connection();
    } else {
        timeouts_in_row_ = 0;
    }
    if (breaks_connection(code))
        close_connection();
    if (code != KIV_OK) {
        job_done(code);
        return;
    }
    if (job_ == Job::poll) {
        if (step_ == 0)
            image_.time = arrived_wall_;
        store(image_, model_.poll()[step_].what, data, model_);
        if (++step_ == model_.poll().size())
            job_done(KIV_OK);
        else if (in_flight_ > 1)
            await_next();
        else
            send_step();
        return;
    }
    if (step_++ == 0) {
        send_step();
        return;
    }
    command_.on = (data[0] & 1u) != 0;
    job_done(KIV_OK);
}

void ModulePoller::job_done(int code)
{
    const Job j = job_;
    job_ = Job::none;
    if (j == Job::poll) {
        poll_done(code);
    } else if (j == Job::command) {
        const std::string what = "module " + m_.name + ": output " + std::to_string(command_.channel);
        if (code == KIV_OK)
            log(Level::info, what + (command_.on ? " on" : " off"));
        else
            log_limited(Level::warn, "module " + m_.name + " commands failed",
                        what + " not switched: " + why(code));
        ctx_.out.command_result({index_, command_.channel, code, command_.on});
    }
    next_job();
}

void ModulePoller::poll_done(int code)
{
    if (code != KIV_OK) {
        publish_poll(code);
        // A module late now and then is still there. One never seen online
        // is told offline at once: the broker may still hold the "online"
        // of a run before this one.
        if (++failed_polls_ >= m_.offline_after || online_ != 1)
            set_online(false, code);
        debug([&] { return "poll " + std::to_string(job_seq_) + " failed: " + why(code); });
        return;
    }
    // At start and whenever it comes back, the module gets its declared
    // settings before its values go out; a fresh connection after failed
    // polls may be a restart that it came back from before going offline.
    const bool back = online_ != 1 || (failed_polls_ > 0 && fresh_connection_);
    failed_polls_ = 0;
    fresh_connection_ = false;
    if (back && m_.settings) {
        held_ = PollResult{index_, job_seq_, KIV_OK, image_};
        start_settings();
        return;
    }
    set_online(true, 0);
    publish_poll(KIV_OK);
}

void ModulePoller::publish_poll(int code)
{
    PollResult r{index_, job_seq_, code, {}};
    if (code == KIV_OK)
        r.image = image_;
    ctx_.out.poll(r);
}

void ModulePoller::start_settings()
{
    phase_ = Phase::settings;
    auto inbox = ctx_.loop.inbox();
    const bool taken = ctx_.workers.run([this, inbox, m = m_, state = save_state_] {
        SettingsRun run = apply_settings(m, state);
        inbox->post([this, run = std::move(run)]() mutable {
            save_state_ = std::move(run.state);
            settings_done(std::move(run.report));
            rearm();
        });
    });
    if (!taken)
        settings_done(R"({"module":")" + m_.name + R"(","failed":{"settings":"no worker thread"}})");
}

void ModulePoller::settings_done(std::string report)
{
    if (phase_ != Phase::settings)
        return;
    phase_ = Phase::idle;
    log_limited(Level::info, "module " + m_.name + " settings", "module " + m_.name + " settings: " + report);
    ctx_.out.settings({index_, std::move(report)});
    set_online(true, 0);
    if (held_) {
        ctx_.out.poll(*held_);
        held_.reset();
    }
    next_job();
}

void ModulePoller::next_job()
{
    if (job_ != Job::none || phase_ != Phase::idle)
        return;
    if (poll_pending_) {
        poll_pending_ = false;
        start_job(Job::poll);
        return;
    }
    if (!commands_.empty()) {
        command_ = commands_.front();
        commands_.pop_front();
        start_job(Job::command);
    }
}

void ModulePoller::close_connection()
{
    if (fd_ >= 0) {
        ctx_.loop.forget(fd_);
        ::close(fd_);
        fd_ = -1;
    }
    rx_len_ = 0;
    timeouts_in_row_ = 0;
    deadline_.reset();
    if (phase_ == Phase::connecting || phase_ == Phase::exchanging)
        phase_ = Phase::idle;
}

void ModulePoller::set_online(bool online, int code)
{
    if (online_ == static_cast<int>(online))
        return;
    online_ = online;
    // Each limited on its own: a module that flaps shows its first offline
    // and its first online of a window, then how many more of each.
    if (online)
        log_limited(Level::info, "module " + m_.name + " online",
                    "module " + m_.name + " online at " + m_.address + ":" + std::to_string(m_.modbus_port));
    else
        log_limited(Level::warn, "module " + m_.name + " offline", "module " + m_.name + " offline: " + why(code));
    ctx_.out.status({index_, online, code});
}

void ModulePoller::rearm()
{
    if (phase_ == Phase::stopped)
        return;
    Clock::time_point t = next_period_;
    if (deadline_ && *deadline_ < t)
        t = *deadline_;
    if (t == armed_at_)
        return;
    armed_at_ = t;
    ctx_.loop.at(t, this, ++timer_tag_);
}

} // namespace gateway
