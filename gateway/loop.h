// The gateway's event loop: one thread waits in epoll for every module's
// socket, the broker's and the loop's own wake-up, and runs timers from one
// heap. Everything registered here is called on that thread alone, so what
// it drives needs no locks. Other threads hand work in through post().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

namespace gateway {

using Clock = std::chrono::steady_clock;

// Something with a descriptor in the loop.
class Watcher {
public:
    virtual ~Watcher() = default;
    // events: EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP as epoll reports them.
    // A readiness reported for a descriptor closed in the same turn may
    // still arrive: a watcher checks that the descriptor is still its own.
    virtual void ready(std::uint32_t events) = 0;
};

// Something with a deadline in the loop.
class TimerTarget {
public:
    virtual ~TimerTarget() = default;
    // tag is the one given to Loop::at; called only while wanted(tag).
    virtual void expired(std::uint64_t tag) = 0;
    // False for a deadline the target has moved since: the loop drops it
    // without waking for it.
    virtual bool wanted(std::uint64_t tag) const = 0;
};

// Work handed in from other threads. Shared, so that a thread that
// outlives the loop (a worker in a blocking call at stop) can still post:
// what it posts then is dropped.
class Inbox {
public:
    Inbox();
    ~Inbox();
    Inbox(const Inbox &) = delete;
    Inbox &operator=(const Inbox &) = delete;
    void post(std::function<void()> f);
    int fd() const { return fd_; }
    std::vector<std::function<void()>> take();
    void close();

private:
    std::mutex mu_;
    std::vector<std::function<void()>> work_;
    bool closed_ = false;
    int fd_ = -1;
};

class Loop {
public:
    Loop();
    ~Loop();
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;

    // False when the kernel gave no epoll or eventfd descriptor.
    bool ok() const;

    // Registers, changes or forgets fd's interest; false with errno set.
    bool watch(int fd, std::uint32_t events, Watcher *w);
    bool change(int fd, std::uint32_t events, Watcher *w);
    void forget(int fd);

    // target->expired(tag) once t has come.
    void at(Clock::time_point t, TimerTarget *target, std::uint64_t tag);

    // From any thread: f runs on the loop's thread at its next turn.
    void post(std::function<void()> f) { inbox_->post(std::move(f)); }
    const std::shared_ptr<Inbox> &inbox() const { return inbox_; }

    // Called at the end of every turn, after the events and timers of it.
    void at_end_of_turn(std::function<void()> f) { end_of_turn_ = std::move(f); }

    // Under load, turns of the loop are at least this far apart, so that
    // one wake-up takes the replies and timers of that much time together
    // rather than one each; an idle loop still wakes at the first event.
    void set_quantum(std::chrono::microseconds q) { quantum_ = q; }

    // Runs until quit() is called on the loop's thread.
    void run();
    void quit() { running_ = false; }

private:
    struct Timer {
        Clock::time_point t;
        TimerTarget *target;
        std::uint64_t tag;
        bool operator>(const Timer &o) const { return t > o.t; }
    };
    int wait_ms();
    bool run_timers();

    int epoll_ = -1;
    std::shared_ptr<Inbox> inbox_;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
    std::function<void()> end_of_turn_;
    bool running_ = false;
    std::chrono::microseconds quantum_{0};
};

// The one deadline of a target that waits for several things: armed at the
// earliest of them. A deadline that moved leaves the old one unwanted, so
// the loop drops it without waking for it.
class Alarm {
public:
    Alarm(Loop &loop, TimerTarget &target) : loop_(loop), target_(target) {}
    // Wakes the target at t (max: not at all), instead of any earlier call.
    void at(Clock::time_point t)
    {
        if (t == armed_at_)
            return;
        armed_at_ = t;
        ++tag_;
        if (t != Clock::time_point::max())
            loop_.at(t, &target_, tag_);
    }
    // For the target's wanted().
    bool wanted(std::uint64_t tag) const { return tag == tag_; }
    // In the target's expired(): whether tag is this alarm's, which is then
    // spent (the next at() arms it again).
    bool fired(std::uint64_t tag)
    {
        if (tag != tag_)
            return false;
        armed_at_ = Clock::time_point::max();
        return true;
    }

private:
    Loop &loop_;
    TimerTarget &target_;
    Clock::time_point armed_at_ = Clock::time_point::max();
    std::uint64_t tag_ = 0;
};

} // namespace gateway
