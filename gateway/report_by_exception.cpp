#include "report_by_exception.h"

#include <algorithm>
#include <cmath>

namespace gateway {

bool moved(double last, double now, double deadband)
{
    // Readings have at most five decimals of up to 65535: a relative hair
    // of 1e-12 is far below the least step of any, and far above the
    // error of their doubles' difference.
    const double hair = 1e-12 * std::max({1.0, std::fabs(last), std::fabs(now)});
    return std::fabs(now - last) > deadband + hair;
}

namespace {

bool reading_moved(const kiv::reading &last, const kiv::reading &now, double deadband)
{
    return last != now && moved(last.number(), now.number(), deadband);
}

bool ai_changed(const std::vector<kiv::ai_channel> &last, const std::vector<kiv::ai_channel> &now, double deadband)
{
    if (last.size() != now.size())
        return true;
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (last[i].enabled != now[i].enabled)
            return true;
        if (now[i].enabled && reading_moved(last[i].value, now[i].value, deadband))
            return true;
    }
    return false;
}

bool tc_changed(const std::vector<kiv::tc_channel> &last, const std::vector<kiv::tc_channel> &now, double deadband)
{
    if (last.size() != now.size())
        return true;
    for (std::size_t i = 0; i < now.size(); ++i) {
        const kiv::tc_channel &a = last[i], &b = now[i];
        if (a.enabled != b.enabled || a.faults != b.faults)
            return true;
        if (b.enabled && (reading_moved(a.temperature, b.temperature, deadband) ||
                          reading_moved(a.reference, b.reference, deadband)))
            return true;
    }
    return false;
}

} // namespace

bool image_changed(const ProcessImage &last, const ProcessImage &now, double deadband)
{
    return last.model != now.model || last.di != now.di || last.outputs != now.outputs ||
           last.sensors != now.sensors || ai_changed(last.ai, now.ai, deadband) ||
           tc_changed(last.tc, now.tc, deadband);
}

ExceptionFilter::ExceptionFilter(const ModuleConfig &m)
    : deadband_(m.deadband),
      heartbeat_periods_(std::max<std::uint64_t>(
          1, static_cast<std::uint64_t>(m.heartbeat_s) * 1000 / static_cast<std::uint64_t>(m.interval_ms)))
{
}

bool ExceptionFilter::publish(std::uint64_t seq, const ProcessImage &image)
{
    const bool due = !last_ || seq >= last_seq_ + heartbeat_periods_ ||
                     image_changed(*last_, image, deadband_);
    if (!due)
        return false;
    last_.emplace(image);
    last_seq_ = seq;
    return true;
}

ExceptionFilters::ExceptionFilters(const std::vector<ModuleConfig> &modules)
{
    filters_.reserve(modules.size());
    for (const ModuleConfig &m : modules)
        filters_.push_back(make(m));
}

std::optional<ExceptionFilter> ExceptionFilters::make(const ModuleConfig &m) const
{
    if (m.vacant() || m.publish != Publish::change)
        return std::nullopt;
    return ExceptionFilter(m);
}

bool ExceptionFilters::publish(const PollResult &r)
{
    if (r.module >= filters_.size() || !filters_[r.module])
        return true;
    return filters_[r.module]->publish(r.seq, r.image);
}

void ExceptionFilters::status(const StatusChange &s)
{
    if (!s.online && s.module < filters_.size() && filters_[s.module])
        filters_[s.module]->reset();
}

void ExceptionFilters::modules_changed(const ModulesChanged &m)
{
    filters_.resize(m.modules.size());
    for (const auto *slots : {&m.added, &m.removed, &m.changed})
        for (std::size_t slot : *slots)
            filters_[slot] = make(m.modules[slot]);
}

} // namespace gateway
