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
    Engine(const Config &c, PollerContext ctx);

    // Schedules every module's first poll, spread over its interval so
    // that modules of one interval do not all poll in the same millisecond.
    // Before the loop runs, or on its thread.
    void start();
    // On the loop's thread: a command checked against the model already.
    void post(const OutputCommand &c);
    // On the loop's thread: every connection closed, nothing more handed
    // to the outputs.
    void stop();

private:
    std::vector<std::unique_ptr<ModulePoller>> pollers_;
    const Config &config_;
};

} // namespace gateway
