#include "save.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

namespace kivtool {

// Saves over the open dialogue with the tool's reply wait (-t), which ends
// it. The module restarts after it answers, so an answer that does not
// come in time leaves open whether it saved: that is said as it is.
void save_settings(Connections &l, Outcome &out)
{
    const Options &o = l.options;
    auto r = kiv::save_and_restart(l.config, o.timeout_ms);
    const char *call = "request_response";
    if (!r && r.code() == KIV_ERR_TIMEOUT) {
        out.check(l, call, "save the settings", r);
        out.note = "the save is not confirmed: the module may have saved and restarted; read "
                   "the setting back to know";
        out.json.raw("saved", "null");
        return;
    }
    // An answer that refuses the save came from a request_response that worked.
    const bool refused = !r && r.code() == KIV_ERR_RESPONSE;
    if (!out.check(l, call, "save the settings", refused ? kiv::result<void>() : r))
        return;
    if (refused) {
        out.check(l, call, "save the settings", r);
        out.note = "the module did not save: the settings changed last hold until it restarts";
        out.json.flag("saved", false);
        return;
    }
    out.text += "settings saved; the module restarts\n";
    out.json.flag("saved", true);
}

// After a save the module restarts and refuses connections for a while:
// log in again within a bound, then read the written setting back and
// compare it with what was written. It tells what the module holds now,
// which after an unconfirmed save may also be the unsaved values of a
// module that never restarted: the message says only that.
void verify_after_save(const Options &o, Outcome &out)
{
    using clock = std::chrono::steady_clock;
    // The module's restart takes a moment; ten login waits and at least
    // ten seconds cover it.
    const auto deadline = clock::now() + std::chrono::milliseconds(std::max(10000L, 10L * o.connect_timeout_ms));
    const std::string before = out.ok ? "" : "the save is not confirmed; ";
    auto fail = [&](const Outcome &step, std::string doing, std::string note) {
        out.ok = false;
        out.doing = std::move(doing);
        out.call = step.call;
        out.why = step.why;
        out.note = before + note;
        out.json.flag("verified", false);
    };
    Connections l(o, info(o.model));
    Outcome login;
    for (;;) {
        login = Outcome{};
        auto c = kiv::config_session::login(o.address, o.config_port, o.connect_timeout_ms, o.password);
        if (login.check(l, "KIV_Cfg_Login", "log in again after the save", c)) {
            l.config = std::move(*c);
            break;
        }
        if (clock::now() >= deadline || c.code() == KIV_ERR_LOGIN) {
            fail(login, login.doing, "the module did not come back for --verify");
            return;
        }
        ::poll(nullptr, 0, 200);
    }
    if (out.read_back.empty()) {
        out.text += "the module is back after the restart\n";
        out.json.flag("verified", true);
        return;
    }
    const Command *reader = find_command(out.read_back[0]);
    Options with_args = o;
    with_args.args.assign(out.read_back.begin() + 1, out.read_back.end());
    Prepared p = reader->prepare(with_args, info(o.model));
    Outcome read;
    p.action(l, read);
    l.config.exit();
    if (!read.ok) {
        fail(read, read.doing + " after the save", "the setting could not be read back");
        return;
    }
    if (read.table.rows() != out.table.rows()) {
        read.call = reader->name;
        read.why = kiv::failure{kiv::errc::response, 0, {}};
        fail(read, "read the setting back after the save",
             "the module holds other values than were written");
        out.text += "read back after the restart:\n" + read.table.text();
        return;
    }
    // Without the save's answer nobody knows whether the module restarted:
    // the values may be the unsaved ones still in force.
    out.text += before.empty() ? "read back after the restart: as written\n"
                               : "read back: the module holds what was written; whether it "
                                 "saved is not known\n";
    out.json.flag("verified", true);
}

} // namespace kivtool
