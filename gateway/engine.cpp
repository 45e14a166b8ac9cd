#include "engine.h"

namespace gateway {

Engine::Engine(const Config &c, PollerContext ctx) : config_(c)
{
    pollers_.reserve(c.modules.size());
    for (std::size_t i = 0; i < c.modules.size(); ++i)
        pollers_.push_back(std::make_unique<ModulePoller>(i, c.modules[i], ctx));
}

void Engine::start()
{
    const auto now = Clock::now();
    const auto n = static_cast<long>(pollers_.size());
    for (std::size_t i = 0; i < pollers_.size(); ++i) {
        const auto phase = std::chrono::milliseconds(static_cast<long>(config_.modules[i].interval_ms) *
                                                     static_cast<long>(i) / n);
        pollers_[i]->start(now + phase);
    }
}

void Engine::post(const OutputCommand &c)
{
    if (c.module < pollers_.size())
        pollers_[c.module]->post(c);
}

void Engine::stop()
{
    for (auto &p : pollers_)
        p->stop();
}

} // namespace gateway
