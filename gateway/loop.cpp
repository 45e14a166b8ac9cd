#include "loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <thread>
#include <utility>

namespace gateway {

Inbox::Inbox() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Inbox::~Inbox()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void Inbox::post(std::function<void()> f)
{
    bool wake = false;
    {
        std::lock_guard lock(mu_);
        if (closed_)
            return;
        wake = work_.empty();
        work_.push_back(std::move(f));
    }
    // One wake-up for a batch: the loop takes everything at once.
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
    }
}

std::vector<std::function<void()>> Inbox::take()
{
    std::uint64_t count = 0;
    [[maybe_unused]] auto n = ::read(fd_, &count, sizeof count);
    std::lock_guard lock(mu_);
    return std::exchange(work_, {});
}

void Inbox::close()
{
    std::lock_guard lock(mu_);
    closed_ = true;
    work_.clear();
}

Loop::Loop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)), inbox_(std::make_shared<Inbox>())
{
    if (epoll_ >= 0 && inbox_->fd() >= 0) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.ptr = nullptr; // the inbox
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, inbox_->fd(), &e);
    }
}

Loop::~Loop()
{
    inbox_->close();
    if (epoll_ >= 0)
        ::close(epoll_);
}

bool Loop::ok() const
{
    return epoll_ >= 0 && inbox_->fd() >= 0;
}

bool Loop::watch(int fd, std::uint32_t events, Watcher *w)
{
    epoll_event e{};
    e.events = events;
    e.data.ptr = w;
    return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) == 0;
}

bool Loop::change(int fd, std::uint32_t events, Watcher *w)
{
    epoll_event e{};
    e.events = events;
    e.data.ptr = w;
    return ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &e) == 0;
}

void Loop::forget(int fd)
{
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void Loop::at(Clock::time_point t, TimerTarget *target, std::uint64_t tag)
{
    timers_.push({t, target, tag});
}

int Loop::wait_ms()
{
    while (!timers_.empty() && !timers_.top().target->wanted(timers_.top().tag))
        timers_.pop();
    if (timers_.empty())
        return 1000;
    const auto left = timers_.top().t - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    // Rounded up: a wait that ends early would only spin until the timer.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1000 ? 1000 : static_cast<int>(ms);
}

bool Loop::run_timers()
{
    const auto now = Clock::now();
    bool ran = false;
    while (!timers_.empty() && timers_.top().t <= now) {
        const Timer t = timers_.top();
        timers_.pop();
        if (t.target->wanted(t.tag)) {
            t.target->expired(t.tag);
            ran = true;
        }
    }
    return ran;
}

void Loop::run()
{
    std::array<epoll_event, 256> events{};
    running_ = true;
    bool busy = false;
    Clock::time_point turn{};
    while (running_) {
        // After a turn with work, let more gather before the next: one
        // wake-up then takes the replies and deadlines of a quantum
        // together. An idle loop still wakes at the first event.
        if (busy && quantum_.count() > 0)
            std::this_thread::sleep_until(turn + quantum_);
        const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), wait_ms());
        turn = Clock::now();
        busy = n > 0;
        for (int i = 0; i < n && running_; ++i) {
            auto &e = events[static_cast<std::size_t>(i)];
            if (e.data.ptr == nullptr) {
                for (auto &f : inbox_->take())
                    f();
                continue;
            }
            static_cast<Watcher *>(e.data.ptr)->ready(e.events);
        }
        if (running_ && run_timers())
            busy = true;
        if (end_of_turn_)
            end_of_turn_();
    }
}

} // namespace gateway
