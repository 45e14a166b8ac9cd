#include "payload.h"

#include <ctime>

namespace gateway {

namespace {

// Module names are letters, digits, '-' and '_' (checked when the file is
// read), so no text here needs escaping; that is also why the payload is
// written directly rather than through a JSON library, whose numbers would
// lose the module's digits.
class Writer {
public:
    Writer &key(const char *k)
    {
        comma();
        s_ += '"';
        s_ += k;
        s_ += "\":";
        fresh_ = false;
        return *this;
    }
    Writer &text(const std::string &v)
    {
        s_ += '"';
        s_ += v;
        s_ += '"';
        return *this;
    }
    Writer &number(std::uint64_t v)
    {
        s_ += std::to_string(v);
        return *this;
    }
    Writer &reading(const kiv::reading &r)
    {
        s_ += r.text();
        return *this;
    }
    Writer &boolean(bool v)
    {
        s_ += v ? "true" : "false";
        return *this;
    }
    Writer &open(char c)
    {
        comma();
        s_ += c;
        fresh_ = true;
        return *this;
    }
    Writer &close(char c)
    {
        s_ += c;
        fresh_ = false;
        return *this;
    }
    // Elements of arrays and members of objects are separated by commas.
    void comma()
    {
        if (!fresh_ && !after_key())
            s_ += ',';
        fresh_ = false;
    }
    std::string take() { return std::move(s_); }

private:
    bool after_key() const { return !s_.empty() && s_.back() == ':'; }
    std::string s_;
    bool fresh_ = true;
};

const char *quality(bool enabled, bool fault)
{
    if (!enabled)
        return "disabled";
    return fault ? "fault" : "good";
}

void on_off(Writer &w, const char *name, const std::vector<bool> &states)
{
    w.key(name).open('[');
    for (std::size_t i = 0; i < states.size(); ++i)
        w.open('{').key("channel").number(i + 1).key("on").boolean(states[i]).close('}');
    w.close(']');
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
    Writer w;
    w.open('{').key("module").text(module).key("model").number(static_cast<std::uint64_t>(p.model));
    w.key("ts").text(rfc3339_utc_ms(p.time));
    if (run != 0)
        w.key("run").number(run);
    w.key("seq").number(seq);
    if (!p.ai.empty()) {
        w.key("ai").open('[');
        for (std::size_t i = 0; i < p.ai.size(); ++i) {
            const auto &a = p.ai[i];
            w.open('{').key("channel").number(i + 1).key("enabled").boolean(a.enabled);
            w.key("value").reading(a.value).key("quality").text(quality(a.enabled, false)).close('}');
        }
        w.close(']');
    }
    if (!p.tc.empty()) {
        w.key("tc").open('[');
        for (std::size_t i = 0; i < p.tc.size(); ++i) {
            const auto &t = p.tc[i];
            w.open('{').key("channel").number(i + 1).key("enabled").boolean(t.enabled);
            w.key("temperature").reading(t.temperature).key("reference").reading(t.reference);
            w.key("faults").open('[');
            for (const auto &f : kiv::tc_faults)
                if (t.faults & f.bit) {
                    w.comma();
                    w.text(f.key);
                }
            w.close(']');
            w.key("quality").text(quality(t.enabled, t.faults != 0)).close('}');
        }
        w.close(']');
    }
    if (!p.di.empty())
        on_off(w, "di", p.di);
    on_off(w, "do", p.outputs);
    if (!p.sensors.empty()) {
        w.key("sensors").open('[');
        for (auto v : p.sensors) {
            w.comma();
            w.number(v);
        }
        w.close(']');
    }
    w.close('}');
    return w.take();
}

} // namespace gateway
