#include "sparkplug_metrics.h"

#include <chrono>
#include <string_view>

namespace gateway {

namespace {

using sparkplug::DataType;
using sparkplug::Metric;

// "0~10V" is in V, "-150~150MV" in mV, "0~20MA" in mA.
std::string_view unit_of(std::string_view label)
{
    if (label.ends_with("MV"))
        return "mV";
    if (label.ends_with("MA"))
        return "mA";
    return "V";
}

class Builder {
public:
    explicit Builder(std::uint64_t timestamp) : timestamp_(timestamp) {}

    Metric &add(std::string name, DataType type, Metric::Value value, bool is_null = false)
    {
        Metric m;
        m.name = std::move(name);
        m.timestamp = timestamp_;
        m.type = type;
        m.is_null = is_null;
        m.value = std::move(value);
        metrics_.push_back(std::move(m));
        return metrics_.back();
    }
    void booleans(const char *prefix, const std::vector<bool> &states)
    {
        for (std::size_t i = 0; i < states.size(); ++i)
            add(numbered(prefix, i), DataType::Boolean, bool{states[i]});
    }
    static std::string numbered(const char *prefix, std::size_t index)
    {
        return std::string(prefix) + '/' + std::to_string(index + 1);
    }
    std::vector<Metric> take() { return std::move(metrics_); }

private:
    std::uint64_t timestamp_;
    std::vector<Metric> metrics_;
};

const char *fault_key(std::uint8_t faults)
{
    for (const auto &f : kiv::tc_faults)
        if (faults & f.bit)
            return f.key;
    return "";
}

} // namespace

std::vector<Metric> module_metrics(const ModuleConfig &m, const ProcessImage &p)
{
    using namespace std::chrono;
    Builder b(static_cast<std::uint64_t>(duration_cast<milliseconds>(p.time.time_since_epoch()).count()));
    for (std::size_t i = 0; i < p.ai.size(); ++i) {
        const kiv::ai_channel &a = p.ai[i];
        Metric &metric = b.add(Builder::numbered("ai", i), DataType::Double, a.value.number(), !a.enabled);
        if (!m.settings || i >= m.settings->ai_range.size())
            continue;
        if (auto label = kiv::range_label(m.settings->ai_range[i])) {
            metric.properties.emplace_back("range", std::string(*label));
            metric.properties.emplace_back("engUnit", std::string(unit_of(*label)));
        }
    }
    for (std::size_t i = 0; i < p.tc.size(); ++i) {
        const kiv::tc_channel &t = p.tc[i];
        const std::string tc = Builder::numbered("tc", i);
        b.add(tc + "/temperature", DataType::Double, t.temperature.number(), !t.enabled || t.faults != 0);
        b.add(tc + "/reference", DataType::Double, t.reference.number(), !t.enabled);
        b.add(tc + "/fault", DataType::String, std::string(fault_key(t.faults)));
    }
    b.booleans("di", p.di);
    b.booleans("do", p.outputs);
    for (std::size_t i = 0; i < p.sensors.size(); ++i)
        b.add(Builder::numbered("sensor", i), DataType::UInt16, std::uint64_t{p.sensors[i]});
    return b.take();
}

std::vector<Metric> module_metrics(const ModuleConfig &m)
{
    if (m.traits == nullptr)
        return {};
    const kiv::model_info &t = *m.traits;
    ProcessImage blank;
    blank.model = t.number;
    blank.ai.resize(static_cast<std::size_t>(t.ai));
    blank.tc.resize(static_cast<std::size_t>(t.tc));
    blank.di.resize(static_cast<std::size_t>(t.di));
    blank.outputs.resize(static_cast<std::size_t>(t.outputs));
    blank.sensors.resize(static_cast<std::size_t>(t.sensors));
    std::vector<Metric> metrics = module_metrics(m, blank);
    for (Metric &metric : metrics) {
        metric.is_null = true;
        metric.timestamp = 0;
    }
    return metrics;
}

} // namespace gateway
