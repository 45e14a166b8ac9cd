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

// What a read-back after a save finds where the module holds other values.
constexpr const char *not_kept = "not kept after save";

class Report {
public:
    // verify: read and compare only; a setting that differs is a failure.
    Report(const ModuleConfig &m, bool verify) : m_(m), verify_(verify) {}

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
        if ((*r & all) == *want || differs(name))
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
        if (*r == want || differs("ai_range"))
            return;
        if (auto w = m.set_ai_range(s, 1, want); !w) {
            failed_["ai_range"] = kiv::result_name(w.code());
            return;
        }
        changed_["ai_range"] = range_labels(want);
    }

    void fail(const char *what, int code) { failed_[what] = kiv::result_name(code); }
    void fail(const char *what, std::string why) { failed_[what] = std::move(why); }
    bool changed() const { return !changed_.empty(); }
    bool failed() const { return !failed_.empty(); }
    // The first setting a read-back found changed since the save; empty when none.
    const std::string &not_kept_name() const { return not_kept_; }

    std::string text(bool saved) const
    {
        json j = {{"module", m_.name},
                  {"ts", rfc3339_utc_ms(std::chrono::system_clock::now())},
                  {"found", found_},
                  {"changed", changed_},
                  {"failed", failed_},
                  {"saved", saved}};
        // A module's answer may hold any bytes.
        return j.dump(-1, ' ', false, json::error_handler_t::replace);
    }

private:
    // On a read-back, a setting that differs is recorded as such and not
    // written: writing it again would only hide that the save did not hold.
    bool differs(const char *name)
    {
        if (!verify_)
            return false;
        failed_[name] = not_kept;
        if (not_kept_.empty())
            not_kept_ = name;
        return true;
    }

    const ModuleConfig &m_;
    const bool verify_;
    std::string not_kept_;
    json found_ = json::object(), changed_ = json::object(), failed_ = json::object();
};

// The save with the module's own reply wait: save_and_reboot() takes any
// answer for a save, but a module that cannot write its flash answers
// "E:..." and restarts all the same, with its old values. Gives whether the
// module confirmed the save, and what the next run is to do.
bool save(kiv::config_session &s, int timeout_ms, Report &report, SaveState &next)
{
    const auto r = kiv::save_and_restart(s, timeout_ms);
    if (r) {
        next = {SaveState::Next::verify, {}};
        return true;
    }
    const bool answered = r.error() == make_error_code(kiv::errc::response);
    std::string why = answered ? r.why().answer : kiv::result_name(r.code());
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r'))
        why.pop_back();
    report.fail("save", why.empty() ? "an empty answer" : why);
    // No answer in time, or a module that closed the connection instead,
    // leaves open whether it saved and restarted: the read-back once the
    // module is back settles it. Any other failure is one, and another try
    // would restart the module again for nothing.
    const bool unknown = (r.code() == KIV_ERR_TIMEOUT || r.code() == KIV_ERR_DISCONNECTED);
    next = {unknown ? SaveState::Next::verify : SaveState::Next::hold, why};
    return false;
}

} // namespace

SettingsRun apply_settings(const ModuleConfig &m, const SaveState &state)
{
    using Next = SaveState::Next;
    const DeclaredSettings &d = *m.settings;
    const bool verify = state.next == Next::verify;
    Report report(m, verify);
    SettingsRun run{{}, state};
    std::string why;
    const std::string address = kiv::resolve_ipv4(m.address, &why);
    if (address.empty()) {
        // The name of what a connect would give, and the lookup's reason.
        report.fail("login", kiv::result_name(EHOSTUNREACH) + ": " + why);
        run.report = report.text(false);
        return run;
    }
    auto login = kiv::config_session::login(address, m.config_port, m.connect_timeout_ms, m.password);
    if (!login) {
        report.fail("login", login.code());
        run.report = report.text(false);
        return run;
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
                [&]() -> kiv::result<std::uint8_t> { return kiv::detail::power_on_outputs_read(s, t, has.outputs); },
                [&](unsigned v) { return kiv::detail::power_on_outputs_write(s, t, has.outputs, v); });
    bool saved = false;
    if (verify) {
        // A read that failed proves nothing either way: the next run reads
        // back again.
        if (!report.not_kept_name().empty())
            run.state = {Next::hold, report.not_kept_name() + " " + not_kept};
        else if (!report.failed())
            run.state = {};
    } else if (d.save && report.changed()) {
        // The module restarts after a save: only when something changed.
        // What was written holds until the module restarts, saved or not.
        if (state.next == Next::hold)
            report.fail("save", "not tried again after: " + state.why);
        else
            saved = save(s, t, report, run.state);
    }
    run.report = report.text(saved);
    return run;
}

} // namespace gateway
