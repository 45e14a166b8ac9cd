#include "payload.h"

#include "common/json_writer.h"

#include <ctime>

namespace gateway {

namespace {

const char *quality(bool enabled, bool fault)
{
    if (!enabled)
        return "disabled";
    return fault ? "fault" : "good";
}

void on_off(common::JsonWriter &w, const char *name, const std::vector<bool> &states)
{
    w.key(name).begin_array();
    for (std::size_t i = 0; i < states.size(); ++i)
        w.begin_object().key("channel").number(i + 1).key("on").boolean(states[i]).end_object();
    w.end_array();
}

} // namespace

std::string rfc3339_utc_ms(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    ::gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

std::string values_json(const std::string &module, std::uint64_t seq, const ProcessImage &p, std::uint64_t run)
{
    // The payload is written directly rather than through nlohmann-json,
    // whose numbers would lose the module's digits.
    common::JsonWriter w;
    w.begin_object().key("module").string(module).key("model").number(static_cast<std::uint64_t>(p.model));
    w.key("ts").string(rfc3339_utc_ms(p.time));
    if (run != 0)
        w.key("run").number(run);
    w.key("seq").number(seq);
    if (!p.ai.empty()) {
        w.key("ai").begin_array();
        for (std::size_t i = 0; i < p.ai.size(); ++i) {
            const auto &a = p.ai[i];
            w.begin_object().key("channel").number(i + 1).key("enabled").boolean(a.enabled);
            w.key("value").number_text(a.value.text()).key("quality").string(quality(a.enabled, false)).end_object();
        }
        w.end_array();
    }
    if (!p.tc.empty()) {
        w.key("tc").begin_array();
        for (std::size_t i = 0; i < p.tc.size(); ++i) {
            const auto &t = p.tc[i];
            w.begin_object().key("channel").number(i + 1).key("enabled").boolean(t.enabled);
            w.key("temperature").number_text(t.temperature.text()).key("reference").number_text(t.reference.text());
            w.key("faults").begin_array();
            for (const auto &f : kiv::tc_faults)
                if (t.faults & f.bit)
                    w.string(f.key);
            w.end_array();
            w.key("quality").string(quality(t.enabled, t.faults != 0)).end_object();
        }
        w.end_array();
    }
    if (!p.di.empty())
        on_off(w, "di", p.di);
    on_off(w, "do", p.outputs);
    if (!p.sensors.empty()) {
        w.key("sensors").begin_array();
        for (auto v : p.sensors)
            w.number(v);
        w.end_array();
    }
    w.end_object();
    return w.take();
}

} // namespace gateway
