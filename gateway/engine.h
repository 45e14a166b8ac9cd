// The engine: every configured module's poller on one event loop. It is
// the only part of the gateway that talks to modules (the declared
// settings excepted, which run on a worker in the module's turn).
#pragma once

#include "config.h"
#include "module_poller.h"

#include <memory>
#include <vector>

namespace gateway {

class Engine {
public:
    // c is the running configuration: a reload changes its modules on the
    // loop's thread and then calls apply().
    Engine(const Config &c, PollerContext ctx);

    // Schedules every module's first poll, spread over its interval so
    // that modules of one interval do not all poll in the same millisecond.
    // Before the loop runs, or on its thread.
    void start();
    // On the loop's thread: a command checked against the model already.
    void post(const OutputCommand &c);
    // On the loop's thread, once the configuration holds the new slots:
    // removed and changed modules stop, changed and added ones start (a
    // changed one keeps counting its seq); the others are not touched.
    void apply(const ModulesChanged &m);
    // On the loop's thread: every connection closed, nothing more handed
    // to the outputs.
    void stop();

private:
    void start_one(std::size_t slot, Clock::time_point first_poll, std::uint64_t seq = 0);
    void retire(std::size_t slot);

    std::vector<std::unique_ptr<ModulePoller>> pollers_;  // null for a vacant slot
    // Stopped pollers stay until the end: a worker's job or a timer of the
    // loop may still name one.
    std::vector<std::unique_ptr<ModulePoller>> retired_;
    const Config &config_;
    PollerContext ctx_;
};

} // namespace gateway
