#include "engine.h"

namespace gateway {

Engine::Engine(const Config &c, PollerContext ctx) : config_(c), ctx_(ctx)
{
    pollers_.resize(c.modules.size());
}

void Engine::start_one(std::size_t slot, Clock::time_point first_poll, std::uint64_t seq)
{
    if (slot >= pollers_.size())
        pollers_.resize(slot + 1);
    pollers_[slot] = std::make_unique<ModulePoller>(slot, config_.modules[slot], ctx_);
    pollers_[slot]->start(first_poll, seq);
}

void Engine::retire(std::size_t slot)
{
    pollers_[slot]->stop();
    retired_.push_back(std::move(pollers_[slot]));
}

void Engine::start()
{
    const auto now = Clock::now();
    const auto n = static_cast<long>(config_.modules.size());
    for (std::size_t i = 0; i < config_.modules.size(); ++i) {
        if (config_.modules[i].vacant())
            continue;
        const auto phase = std::chrono::milliseconds(static_cast<long>(config_.modules[i].interval_ms) *
                                                     static_cast<long>(i) / n);
        start_one(i, now + phase);
    }
}

void Engine::post(const OutputCommand &c)
{
    if (c.module < pollers_.size() && pollers_[c.module])
        pollers_[c.module]->post(c);
}

void Engine::apply(const ModulesChanged &m)
{
    const auto now = Clock::now();
    for (std::size_t slot : m.removed)
        retire(slot);
    for (std::size_t slot : m.changed) {
        const std::uint64_t seq = pollers_[slot]->seq();
        retire(slot);
        start_one(slot, now, seq);
    }
    for (std::size_t slot : m.added)
        start_one(slot, now);
}

void Engine::stop()
{
    for (auto &p : pollers_)
        if (p)
            p->stop();
}

} // namespace gateway
