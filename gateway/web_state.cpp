#include "web_state.h"

#include "kiv.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace gateway {

using nlohmann::json;
using std::chrono::system_clock;

namespace {

std::int64_t ms_of(system_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::int64_t now_ms()
{
    return ms_of(system_clock::now());
}

json ms_or_null(std::int64_t ms)
{
    return ms == 0 ? json(nullptr) : json(ms);
}

// "0~10V" → "V", "0~20MA" → "mA", "-150~150MV" → "mV".
std::string unit_of(const std::string &label)
{
    if (label.ends_with("MV"))
        return "mV";
    if (label.ends_with("MA"))
        return "mA";
    return label.ends_with("V") ? "V" : "";
}

std::string dump(const json &j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

struct WebState::Module {
    struct Bucket {
        std::int64_t second = 0;
        std::uint32_t good = 0, failed = 0;
    };
    struct Error {
        std::int64_t ts = 0;
        int code = 0;
    };

    explicit Module(const ModuleConfig &m) { configure(m); }

    void configure(const ModuleConfig &m)
    {
        name = m.name;
        model = m.model;
        traits = m.traits;
        address = m.address + ":" + std::to_string(m.modbus_port);
        commands = m.commands;
        ranges.assign(static_cast<std::size_t>(traits->ai), std::string());
        if (m.settings)
            for (std::size_t i = 0; i < m.settings->ai_range.size() && i < ranges.size(); ++i)
                ranges[i] = std::string(kiv::range_label(m.settings->ai_range[i]).value_or(""));
        const auto n = static_cast<std::size_t>(traits->ai + traits->tc);
        if (n != series) {
            series = n;
            trend_t.assign(n ? trend_points : 0, 0);
            trend_v.assign(n * trend_points, 0.0f);
            trend_size = trend_next = 0;
        }
    }

    void count(std::int64_t ms, bool good)
    {
        Bucket &b = buckets[static_cast<std::size_t>(ms / 1000 % 60)];
        if (b.second != ms / 1000)
            b = Bucket{ms / 1000, 0, 0};
        ++(good ? b.good : b.failed);
    }

    json good_share(std::int64_t now) const
    {
        std::uint64_t good = 0, all = 0;
        for (const Bucket &b : buckets)
            if (b.second > now / 1000 - 60) {
                good += b.good;
                all += b.good + b.failed;
            }
        return all == 0 ? json(nullptr) : json(static_cast<double>(good) / static_cast<double>(all));
    }

    // The last poll in each second is its point.
    void add_point(std::int64_t t)
    {
        if (series == 0)
            return;
        std::size_t at = trend_next;
        const std::size_t last = (trend_next + trend_points - 1) % trend_points;
        if (trend_size > 0 && trend_t[last] / 1000 == t / 1000) {
            at = last;
        } else {
            trend_next = (trend_next + 1) % trend_points;
            trend_size = std::min(trend_size + 1, trend_points);
        }
        trend_t[at] = t;
        float *v = &trend_v[at * series];
        constexpr float none = std::numeric_limits<float>::quiet_NaN();
        std::size_t k = 0;
        for (const auto &a : image.ai)
            if (k < series)
                v[k++] = a.enabled ? static_cast<float>(a.value.number()) : none;
        for (const auto &c : image.tc)
            if (k < series)
                v[k++] = c.enabled && c.faults == 0 ? static_cast<float>(c.temperature.number()) : none;
        while (k < series)
            v[k++] = none;
    }

    std::string series_name(std::size_t k) const
    {
        const auto ai = static_cast<std::size_t>(traits->ai);
        return k < ai ? "ai/" + std::to_string(k + 1) : "tc/" + std::to_string(k - ai + 1);
    }

    static json number_or_null(float v)
    {
        // The module's digits are at most two decimals; a float's noise is not shown.
        return std::isnan(v) ? json(nullptr) : json(std::round(static_cast<double>(v) * 1000.0) / 1000.0);
    }

    json row(std::int64_t now) const
    {
        static const char *names[] = {"unknown", "online", "offline"};
        json r = {{"name", name},
                  {"model", model},
                  {"address", address},
                  {"status", names[status]},
                  {"since", ms_or_null(since)},
                  {"last_good", ms_or_null(last_good)},
                  {"good_share", good_share(now)}};
        if (!has_image) {
            r["values"] = nullptr;
            return r;
        }
        json v = json::object();
        if (!image.ai.empty()) {
            json &ai = v["ai"] = json::array();
            for (std::size_t i = 0; i < image.ai.size(); ++i) {
                const auto &a = image.ai[i];
                ai.push_back({{"v", a.enabled ? json(a.value.text()) : json(nullptr)},
                              {"unit", i < ranges.size() ? unit_of(ranges[i]) : ""},
                              {"q", a.enabled ? "good" : "disabled"}});
            }
        }
        if (!image.tc.empty()) {
            json &tc = v["tc"] = json::array();
            for (const auto &c : image.tc)
                tc.push_back({{"v", c.enabled && !c.faults ? json(c.temperature.text()) : json(nullptr)},
                              {"q", !c.enabled ? "disabled" : c.faults ? "fault" : "good"}});
        }
        if (!image.di.empty())
            v["di"] = image.di;
        v["do"] = image.outputs;
        if (!image.sensors.empty())
            v["sensors"] = image.sensors;
        r["values"] = std::move(v);
        return r;
    }

    json channels() const
    {
        if (!has_image)
            return nullptr;
        json ch = json::object();
        if (!image.ai.empty()) {
            json &ai = ch["ai"] = json::array();
            for (std::size_t i = 0; i < image.ai.size(); ++i) {
                const auto &a = image.ai[i];
                const std::string label = i < ranges.size() ? ranges[i] : "";
                ai.push_back({{"channel", i + 1},
                              {"value", a.enabled ? json(a.value.text()) : json(nullptr)},
                              {"unit", unit_of(label)},
                              {"range", label.empty() ? json(nullptr) : json(label)},
                              {"quality", a.enabled ? "good" : "disabled"}});
            }
        }
        if (!image.tc.empty()) {
            json &tc = ch["tc"] = json::array();
            for (std::size_t i = 0; i < image.tc.size(); ++i) {
                const auto &c = image.tc[i];
                json faults = json::array();
                for (const auto &f : kiv::tc_faults)
                    if (c.faults & f.bit)
                        faults.push_back(f.key);
                tc.push_back({{"channel", i + 1},
                              {"temperature", c.enabled && !c.faults ? json(c.temperature.text()) : json(nullptr)},
                              {"reference", c.enabled ? json(c.reference.text()) : json(nullptr)},
                              {"quality", !c.enabled ? "disabled" : c.faults ? "fault" : "good"},
                              {"faults", std::move(faults)}});
            }
        }
        if (!image.di.empty())
            ch["di"] = image.di;
        ch["do"] = image.outputs;
        if (!image.sensors.empty())
            ch["sensors"] = image.sensors;
        return ch;
    }

    json errors_json() const
    {
        json list = json::array();
        for (std::size_t i = 0; i < error_size; ++i) {
            const Error &e = errors[(error_next + error_count - 1 - i) % error_count];
            list.push_back({{"ts", e.ts}, {"result", kiv::result_name(e.code)}});
        }
        return list;
    }

    json trend() const
    {
        json t = json::array();
        json s = json::object();
        for (std::size_t k = 0; k < series; ++k)
            s[series_name(k)] = json::array();
        for (std::size_t i = 0; i < trend_size; ++i) {
            const std::size_t at = (trend_next + trend_points - trend_size + i) % trend_points;
            t.push_back(trend_t[at]);
            for (std::size_t k = 0; k < series; ++k)
                s[series_name(k)].push_back(number_or_null(trend_v[at * series + k]));
        }
        return {{"t", std::move(t)}, {"series", std::move(s)}};
    }

    // The newest point when it is newer than after, else null.
    json trend_point(std::int64_t after) const
    {
        if (trend_size == 0)
            return nullptr;
        const std::size_t at = (trend_next + trend_points - 1) % trend_points;
        if (trend_t[at] <= after)
            return nullptr;
        json values = json::object();
        for (std::size_t k = 0; k < series; ++k)
            values[series_name(k)] = number_or_null(trend_v[at * series + k]);
        return {{"t", trend_t[at]}, {"values", std::move(values)}};
    }

    std::int64_t newest_point() const
    {
        return trend_size == 0 ? 0 : trend_t[(trend_next + trend_points - 1) % trend_points];
    }

    std::string name;
    int model = 0;
    const kiv::model_info *traits = nullptr;
    std::string address;
    bool commands = false;
    std::vector<std::string> ranges;  // AI range labels, empty where unknown
    int status = 0;                   // unknown, online, offline
    std::int64_t since = 0;
    std::int64_t last_good = 0;
    std::array<Bucket, 60> buckets{};
    bool has_image = false;
    ProcessImage image;
    std::string settings;  // the last report's JSON
    std::array<Error, error_count> errors{};
    std::size_t error_size = 0, error_next = 0;
    std::size_t series = 0;
    std::vector<std::int64_t> trend_t;
    std::vector<float> trend_v;  // trend_points rows of series values
    std::size_t trend_size = 0, trend_next = 0;
    std::uint64_t version = 1;
};

WebState::WebState(const Config &c, std::function<int()> broker)
    : id_(c.id), has_token_(c.web && !c.web->token.empty()), broker_(std::move(broker))
{
    for (const ModuleConfig &m : c.modules)
        modules_.push_back(m.vacant() ? nullptr : std::make_unique<Module>(m));
}

WebState::~WebState() = default;

std::size_t WebState::module_bytes(const ModuleConfig &m)
{
    const Module probe(m);
    return sizeof(Module) + probe.trend_t.capacity() * sizeof(std::int64_t) +
           probe.trend_v.capacity() * sizeof(float);
}

void WebState::poll(const PollResult &r)
{
    const std::int64_t now = r.code == 0 ? ms_of(r.image.time) : now_ms();
    std::lock_guard lock(mu_);
    Module *m = r.module < modules_.size() ? modules_[r.module].get() : nullptr;
    if (!m)
        return;
    auto &slot = rate_[static_cast<std::size_t>(now / 1000) % rate_.size()];
    if (slot.first != now / 1000)
        slot = {now / 1000, 0};
    ++slot.second;
    m->count(now, r.code == 0);
    if (r.code == 0) {
        m->last_good = now;
        m->image = r.image;
        m->has_image = true;
        m->add_point(now);
    } else {
        m->errors[m->error_next] = {now, r.code};
        m->error_next = (m->error_next + 1) % error_count;
        m->error_size = std::min(m->error_size + 1, error_count);
    }
    m->version = ++version_;
}

void WebState::status(const StatusChange &s)
{
    std::lock_guard lock(mu_);
    Module *m = s.module < modules_.size() ? modules_[s.module].get() : nullptr;
    if (!m)
        return;
    m->status = s.online ? 1 : 2;
    m->since = now_ms();
    m->version = ++version_;
}

void WebState::settings(const SettingsReport &s)
{
    std::lock_guard lock(mu_);
    Module *m = s.module < modules_.size() ? modules_[s.module].get() : nullptr;
    if (!m)
        return;
    m->settings = s.json;
    // The ranges the module has, where the file declares none.
    const json report = json::parse(s.json, nullptr, false);
    if (report.is_object())
        for (const char *part : {"found", "changed"})
            if (auto p = report.find(part); p != report.end() && p->is_object())
                if (auto r = p->find("ai_range"); r != p->end() && r->is_array())
                    for (std::size_t i = 0; i < r->size() && i < m->ranges.size(); ++i)
                        if ((*r)[i].is_string())
                            m->ranges[i] = (*r)[i].get<std::string>();
    m->version = ++version_;
}

void WebState::modules_changed(const ModulesChanged &c)
{
    std::lock_guard lock(mu_);
    modules_.resize(c.modules.size());
    for (std::size_t slot : c.removed)
        modules_[slot].reset();
    for (std::size_t slot : c.added)
        modules_[slot] = std::make_unique<Module>(c.modules[slot]);
    for (std::size_t slot : c.changed)
        if (modules_[slot])
            modules_[slot]->configure(c.modules[slot]);
    for (auto &m : modules_)
        if (m)
            m->version = ++version_;
}

void WebState::command_result(const CommandResult &c)
{
    for (auto p = pending_.begin(); p != pending_.end(); ++p) {
        if (p->command.module != c.module || p->command.channel != c.channel)
            continue;
        const json body = c.code == 0 ? json{{"channel", c.channel}, {"on", c.on}}
                                      : json{{"error", kiv::result_name(c.code)}};
        p->done(HttpServer::Response(c.code == 0 ? 200 : 502, "application/json", dump(body)));
        pending_.erase(p);
        return;
    }
}

void WebState::flush()
{
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(pending_, [&](Pending &p) {
        if (now < p.by)
            return false;
        p.done(HttpServer::Response(502, "application/json", R"({"error":"no result within 5 s"})"));
        return true;
    });
}

void WebState::expect(const OutputCommand &c, HttpServer::Complete done)
{
    pending_.push_back({c, std::chrono::steady_clock::now() + command_wait, std::move(done)});
}

WebState::Module *WebState::find(const std::string &name) const
{
    for (const auto &m : modules_)
        if (m && m->name == name)
            return m.get();
    return nullptr;
}

bool WebState::has_module(const std::string &name) const
{
    std::lock_guard lock(mu_);
    return find(name) != nullptr;
}

std::string WebState::gateway_json(std::int64_t now) const
{
    std::size_t configured = 0, online = 0;
    for (const auto &m : modules_)
        if (m) {
            ++configured;
            online += m->status == 1;
        }
    // The last five whole seconds.
    std::uint64_t polls = 0;
    for (const auto &[second, n] : rate_)
        if (second < now / 1000 && second >= now / 1000 - 5)
            polls += n;
    const int broker = broker_ ? broker_() : -1;
    const json g = {{"id", id_},
                    {"configured", configured},
                    {"online", online},
                    {"polls_per_s", std::round(static_cast<double>(polls) / 5.0 * 10.0) / 10.0},
                    {"broker_connected", broker < 0 ? json(nullptr) : json(broker == 1)}};
    return dump(g);
}

std::string WebState::modules_json() const
{
    const std::int64_t now = now_ms();
    std::lock_guard lock(mu_);
    std::string s = R"({"gateway":)" + gateway_json(now) + R"(,"modules":[)";
    bool first = true;
    for (const auto &m : modules_)
        if (m) {
            s += first ? "" : ",";
            s += dump(m->row(now));
            first = false;
        }
    return s + "]}";
}

std::optional<std::string> WebState::module_json(const std::string &name) const
{
    const std::int64_t now = now_ms();
    std::lock_guard lock(mu_);
    const Module *m = find(name);
    if (!m)
        return std::nullopt;
    json r = m->row(now);
    r["channels"] = m->channels();
    r["settings"] = m->settings.empty() ? json(nullptr) : json::parse(m->settings, nullptr, false);
    r["errors"] = m->errors_json();
    r["trend"] = m->trend();
    r["writable"] = has_token_ && m->commands;
    return dump(r);
}

std::string WebState::events(Cursor &cursor) const
{
    const std::int64_t now = now_ms();
    std::lock_guard lock(mu_);
    std::string rows;
    for (const auto &m : modules_)
        if (m && m->version > cursor.seen) {
            rows += rows.empty() ? "" : ",";
            rows += dump(m->row(now));
        }
    std::string out;
    if (!rows.empty() || cursor.seen == 0)
        out = "event: modules\ndata: {\"gateway\":" + gateway_json(now) + ",\"modules\":[" + rows + "]}\n\n";
    if (!cursor.module.empty())
        if (const Module *m = find(cursor.module); m && (m->version > cursor.seen)) {
            json r = m->row(now);
            r["channels"] = m->channels();
            r["trend_point"] = m->trend_point(cursor.trend_t);
            r["errors"] = m->errors_json();
            r["writable"] = has_token_ && m->commands;
            cursor.trend_t = std::max(cursor.trend_t, m->newest_point());
            out += "event: module\ndata: " + dump(r) + "\n\n";
        }
    cursor.seen = version_;
    return out;
}

} // namespace gateway
