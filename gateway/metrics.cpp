#include "metrics.h"

namespace gateway {

namespace {

void count(std::map<int, std::uint64_t> &by_code, int code)
{
    auto it = by_code.find(code);
    if (it == by_code.end())
        by_code.emplace(code, 1);
    else
        ++it->second;
}

// The bounds in nanoseconds, so that sorting a duration into its bucket is
// integer comparisons alone.
constexpr auto bounds_ns = [] {
    std::array<std::int64_t, ModuleFigures::bounds.size()> out{};
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int64_t>(ModuleFigures::bounds[i] * 1e9 + 0.5);
    return out;
}();

} // namespace

void ModuleMetrics::connect(int code)
{
    std::lock_guard lock(mu_);
    count(f_.connects, code);
    if (code != 0)
        return;
    if (connected_before_)
        ++f_.reconnects;
    connected_before_ = true;
}

void ModuleMetrics::exchange(int code, std::chrono::steady_clock::duration took)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(took);
    std::size_t bucket = 0;
    while (bucket < bounds_ns.size() && ns.count() > bounds_ns[bucket])
        ++bucket;
    std::lock_guard lock(mu_);
    if (code == 0)
        ++f_.exchanges_ok;
    else
        count(f_.exchanges_failed, code);
    // Past the last bound it is counted in +Inf alone.
    if (bucket < f_.buckets.size())
        ++f_.buckets[bucket];
    ++f_.duration_count;
    f_.duration_sum += ns;
}

void ModuleMetrics::poll_succeeded(const ProcessImage &p)
{
    std::lock_guard lock(mu_);
    f_.up = true;
    f_.polled_well = true;
    ++f_.polls_ok;
    // Copy-assigned vectors keep their storage: no allocation once the
    // first poll's image is in place.
    f_.image = p;
}

void ModuleMetrics::poll_failed()
{
    std::lock_guard lock(mu_);
    f_.up = false;
    ++f_.polls_failed;
}

ModuleFigures ModuleMetrics::figures() const
{
    std::lock_guard lock(mu_);
    return f_;
}

void Metrics::poll(const PollResult &r)
{
    if (r.code == 0)
        modules_[r.module]->poll_succeeded(r.image);
    else
        modules_[r.module]->poll_failed();
}

Metrics::Metrics(const std::vector<ModuleConfig> &modules)
{
    modules_.reserve(modules.size());
    for (const ModuleConfig &m : modules)
        modules_.push_back(m.vacant() ? nullptr : std::make_unique<ModuleMetrics>(m.name));
}

void Metrics::modules_changed(const ModulesChanged &m)
{
    std::lock_guard lock(table_mu_);
    modules_.resize(m.modules.size());
    for (std::size_t slot : m.removed)
        modules_[slot].reset();
    for (std::size_t slot : m.added)
        modules_[slot] = std::make_unique<ModuleMetrics>(m.modules[slot].name);
}

} // namespace gateway
