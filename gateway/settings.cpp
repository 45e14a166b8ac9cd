#include "settings.h"

#include "payload.h"

#include "kiv.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>

namespace gateway {

namespace {

using nlohmann::json;

json channel_list(unsigned mask, int count)
{
    json list = json::array();
    for (int i = 0; i < count; ++i)
        if (mask >> i & 1u)
            list.push_back(i + 1);
    return list;
}

json range_labels(const std::vector<std::uint8_t> &codes)
{
    json list = json::array();
    for (auto c : codes)
        list.push_back(std::string(kiv::range_label(c).value_or("?")));
    return list;
}

class Report {
public:
    explicit Report(const ModuleConfig &m) : m_(m) {}

    // One declared mask setting: read, compared within the channels that
    // count, written when it differs.
    template <class Read, class Write>
    void mask(const char *name, std::optional<unsigned> want, int count, Read read, Write write)
    {
        if (!want)
            return;
        const unsigned all = (1u << count) - 1;
        auto r = read();
        if (!r) {
            failed_[name] = kiv::result_name(r.code());
            return;
        }
        found_[name] = channel_list(*r & all, count);
        if ((*r & all) == *want)
            return;
        if (auto w = write(*want); !w) {
            failed_[name] = kiv::result_name(w.code());
            return;
        }
        changed_[name] = channel_list(*want, count);
    }

    void ranges(const std::vector<std::uint8_t> &want, const kiv::zrm7301 &m, const kiv::config_session &s)
    {
        if (want.empty())
            return;
        const int n = static_cast<int>(want.size());
        auto r = m.get_ai_range(s, 1, n);
        if (!r) {
            failed_["ai_range"] = kiv::result_name(r.code());
            return;
        }
        found_["ai_range"] = range_labels(*r);
        if (*r == want)
            return;
        if (auto w = m.set_ai_range(s, 1, want); !w) {
            failed_["ai_range"] = kiv::result_name(w.code());
            return;
        }
        changed_["ai_range"] = range_labels(want);
    }

    void fail(const char *what, int code) { failed_[what] = kiv::result_name(code); }
    bool changed() const { return !changed_.empty(); }
    bool failed() const { return !failed_.empty(); }

    std::string text(bool saved) const
    {
        json j = {{"module", m_.name},
                  {"ts", rfc3339_utc_ms(std::chrono::system_clock::now())},
                  {"found", found_},
                  {"changed", changed_},
                  {"failed", failed_},
                  {"saved", saved}};
        return j.dump();
    }

private:
    const ModuleConfig &m_;
    json found_ = json::object(), changed_ = json::object(), failed_ = json::object();
};

} // namespace

std::string apply_settings(const ModuleConfig &m)
{
    const DeclaredSettings &d = *m.settings;
    Report report(m);
    const std::string address = kiv::resolve_ipv4(m.address);
    if (address.empty()) {
        report.fail("login", EHOSTUNREACH);
        return report.text(false);
    }
    auto login = kiv::config_session::login(address, m.config_port, m.connect_timeout_ms, m.password);
    if (!login) {
        report.fail("login", login.code());
        return report.text(false);
    }
    kiv::config_session &s = *login;
    const int t = m.timeout_ms;
    const kiv::model_info &has = *m.traits;
    if (has.ai > 0) {
        const kiv::zrm7301 z(t);
        report.mask("ai_enable", d.ai_enable, has.ai, [&] { return z.get_ai_enable(s); },
                    [&](unsigned v) { return z.set_ai_enable(s, 1, has.ai, v); });
        report.ranges(d.ai_range, z, s);
    }
    if (has.tc > 0) {
        const kiv::zrm7303 z(t);
        report.mask("tc_enable", d.tc_enable, has.tc, [&] { return z.get_tc_enable(s); },
                    [&](unsigned v) { return z.set_tc_enable(s, 1, has.tc, v); });
    }
    // The power-on values are one parameter on every model, as wide as its outputs.
    report.mask("do_power_on", d.do_power_on, has.outputs,
                [&]() -> kiv::result<std::uint8_t> { return kiv::detail::povp_read(s, t, has.outputs); },
                [&](unsigned v) { return kiv::detail::povp_write(s, t, has.outputs, v); });
    bool saved = false;
    // The module restarts after a save: only when something changed.
    if (d.save && report.changed()) {
        if (auto r = s.save_and_reboot(); r)
            saved = true;
        else
            report.fail("save", r.code());
    }
    return report.text(saved);
}

} // namespace gateway
