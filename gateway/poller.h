// One module's poller: a thread of its own that reads the module's process
// image every interval and hands each result to the sink, so that a slow or
// dead module never delays another's polls.
#pragma once

#include "config.h"
#include "kiv.hpp"
#include "metrics.h"
#include "sink.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

namespace gateway {

// After a failed connect the next attempt waits, doubling from the first to
// the last of these, each drawn within +-20 % so that modules that dropped
// off together do not all come back in step.
struct Backoff {
    std::chrono::milliseconds first{500};
    std::chrono::milliseconds last{4000};
};

class Poller {
public:
    // phase: how long after start the first poll runs, to spread the
    // modules' polls over their interval. metrics, when not null, is told
    // of every poll, connect and exchange.
    Poller(const ModuleConfig &m, Sink &sink, std::chrono::milliseconds phase, Backoff b = {},
           ModuleMetrics *metrics = nullptr);
    ~Poller();
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    // Ends the thread at once, or once an exchange in progress has run to
    // its timeout.
    void stop();

    // Switches output channel on or off as soon as the poller is free:
    // between polls, never inside one, on the poller's own connection. The
    // state read back (or why it failed) goes to the sink.
    void post_output(int channel, bool on);

private:
    using clock = std::chrono::steady_clock;

    void run(std::stop_token st);
    void poll_once(kiv::client &c);
    void connect_failed();
    void apply_declared_settings();
    void set_online(bool online, const std::string &why);
    // Sleeps until t, running the output commands that come meanwhile;
    // false when the poller is stopped.
    bool sleep_until(std::stop_token &st, clock::time_point t, kiv::client &c);
    void run_commands(kiv::client &c);
    void wake();

    struct OutputCommand {
        int channel;
        bool on;
    };

    const ModuleConfig m_;
    Sink &sink_;
    const std::chrono::milliseconds phase_;
    const Backoff backoff_;
    ModuleMetrics *const metrics_;

    std::minstd_rand random_;

    std::mutex commands_mu_;
    std::deque<OutputCommand> commands_;
    // An eventfd that a command or the stop makes readable: the poller
    // sleeps on it, so that both are seen at once.
    int wake_fd_ = -1;

    // Only the poller's own thread touches these.
    std::uint64_t seq_ = 0;
    int online_ = -1;                    // unknown at start
    std::chrono::milliseconds delay_{0}; // the current backoff
    clock::time_point retry_at_{};

    std::jthread thread_;                // last: started once all else is set
};

} // namespace gateway
