#include "run.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <algorithm>

namespace kivtool {

namespace {

std::string endpoint(const Options &o, Service s)
{
    return o.address + ":" + std::to_string(s == Service::modbus ? o.modbus_port : o.config_port);
}

// Opens what the command talks to, unless it is open already.
bool open_service(Link &l, Service s, Outcome &out)
{
    const Options &o = l.options;
    if (s == Service::modbus)
        return l.modbus.connected() || out.check(l, "KIV_Connect", "connect to " + endpoint(o, s), l.modbus.open());
    if (l.config.is_open())
        return true;
    auto c = kiv::config_session::login(o.address, o.config_port, o.connect_timeout_ms, o.password);
    if (!out.check(l, "KIV_Cfg_Login", "log in to " + endpoint(o, s), c))
        return false;
    l.config = std::move(*c);
    return true;
}

std::string failure_line(const Options &o, const Outcome &out)
{
    const int code = out.why.code.value();
    std::string line = out.doing + " (" + out.call + "): ";
    if (code == KIV_ERR_EXCEPTION && out.why.exception_code) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "Modbus exception %u", out.why.exception_code);
        line += buf;
        if (auto name = exception_name(out.why.exception_code); !name.empty())
            line += ", " + std::string(name);
    } else {
        line += kiv::result_text(code);
    }
    line += " (" + code_name(code) + ")";
    if (!out.why.answer.empty())
        line += "; the module answered \"" + printable(out.why.answer) + "\"";
    if (code == KIV_ERR_LOGIN)
        line += o.password.empty() ? "; give the module's password with --password"
                                   : "; check the password";
    if (code == KIV_ERR_TIMEOUT)
        line += "; no answer within " +
                std::to_string(out.call == "KIV_Connect" || out.call == "KIV_Cfg_Login"
                                   ? o.connect_timeout_ms
                                   : o.timeout_ms) +
                " ms";
    // The configuration calls that take several exchanges give this result
    // also when an exchange got no answer at all: say so rather than claim
    // the module answered.
    if (code == KIV_ERR_RESPONSE && out.why.answer.empty() && out.call.rfind("KIV_Cfg_", 0) == 0)
        line += "; no answer, or not the expected one, within " + std::to_string(o.timeout_ms) +
                " ms";
    if (!out.note.empty())
        line += "; " + out.note;
    return line;
}

JsonObject envelope(const Options &o, const std::string &command)
{
    JsonObject j;
    j.str("address", o.address).num("model", static_cast<long>(o.model)).str("command", command);
    return j;
}

JsonObject error_json(const Outcome &out)
{
    const int code = out.why.code.value();
    JsonObject e;
    e.str("doing", out.doing)
        .str("call", out.call)
        .num("code", code)
        .str("name", code_name(code))
        .str("text", kiv::result_text(code));
    if (code == KIV_ERR_EXCEPTION && out.why.exception_code) {
        e.num("exception_code", out.why.exception_code);
        if (auto name = exception_name(out.why.exception_code); !name.empty())
            e.str("exception_name", name);
    }
    if (!out.why.answer.empty())
        e.str("answer", out.why.answer);
    if (!out.note.empty())
        e.str("note", out.note);
    return e;
}

// Prints one outcome: the table (or JSON line) and, on failure, the error.
// False when standard output took it no longer.
bool print(const Options &o, const std::string &command, const Outcome &out, JsonObject extra,
           const std::string &prefix)
{
    if (o.json) {
        JsonObject j = envelope(o, command);
        j.merge(extra).flag("ok", out.ok).merge(out.json);
        if (!out.ok)
            j.raw("error", error_json(out).text());
        std::fprintf(out_stream(), "%s\n", j.text().c_str());
    } else {
        if (!out.table.rows().empty())
            std::fputs(out.table.text().c_str(), out_stream());
        std::fputs(out.text.c_str(), out_stream());
    }
    const bool written = output_ok();
    if (!out.ok)
        error_line(prefix + failure_line(o, out));
    return written;
}

// Poll's stop request: SIGINT or SIGTERM writes to a pipe that the wait
// between rounds watches, so a signal between the check and the wait is
// not lost.
int stop_pipe[2] = {-1, -1};
volatile sig_atomic_t stop_requested = 0;

extern "C" void on_stop(int)
{
    stop_requested = 1;
    const int saved = errno;
    const char b = 1;
    [[maybe_unused]] auto n = ::write(stop_pipe[1], &b, 1);
    errno = saved;
}

void catch_stop()
{
    if (::pipe(stop_pipe) != 0)
        return;
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a wait in the library ends with EINTR
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

// Waits up to ms or until a stop request; true when stopping.
bool wait_or_stop(long ms)
{
    if (stop_requested)
        return true;
    if (ms <= 0)
        return false;
    pollfd p{stop_pipe[0], POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(ms));
    return stop_requested != 0;
}

} // namespace

// Saves over the open dialogue with the tool's reply wait (-t), which ends
// it. The module restarts after it answers, so an answer that does not
// come in time leaves open whether it saved: that is said as it is.
void save_settings(Link &l, Outcome &out)
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

int usage_error(std::string_view message)
{
    error_line(message);
    std::fprintf(stderr, "Try 'kivtool --help' or 'kivtool help COMMAND'.\n");
    return exit_usage;
}

namespace {

// The command's action, or a usage error (with the status in status).
Prepared prepare(const Options &o, const Command &c, const std::vector<std::string> &args)
{
    const ModelInfo &m = info(o.model);
    if (!c.available(m))
        return {{}, std::string(c.name) + ": " + m.name + " has no such signals; " + c.name +
                        " is for " + models_of(c)};
    Options with_args = o;
    with_args.args = args;
    Prepared p = c.prepare(with_args, m);
    if (!p.error.empty())
        p.error = std::string(c.name) + ": " + p.error;
    return p;
}

} // namespace

namespace {

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
    Link l(o, info(o.model));
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

} // namespace

int run_once(const Options &o, const Command &c)
{
    if (o.save && !c.changes)
        return usage_error(std::string("--save: ") + c.name + " changes no setting");
    if (o.poll_options)
        return usage_error(std::string("--interval, --count, --csv and --utc are for poll: kivtool ... poll ") +
                           c.name);
    if (o.verify && !o.save && std::string_view(c.name) != "save")
        return usage_error("--verify is for a save: add --save");
    Prepared p = prepare(o, c, o.args);
    if (!p.error.empty())
        return usage_error(p.error);

    Link l(o, info(o.model));
    Outcome out;
    if (open_service(l, c.service, out)) {
        p.action(l, out);
        if (out.ok && c.changes && o.save)
            save_settings(l, out);
        const bool saved = (c.changes && o.save) || std::string_view(c.name) == "save";
        // A refused save or a failed write leaves nothing to verify; an
        // unconfirmed one is what --verify is for.
        const bool unconfirmed = !out.ok && out.call == "request_response" &&
                                 out.why.code.value() == KIV_ERR_TIMEOUT;
        if (o.verify && saved && (out.ok || unconfirmed))
            verify_after_save(o, out);
    }
    const bool written = print(o, c.name, out, {}, "");
    return out.ok && written ? exit_ok : exit_failed;
}

namespace {

// The wall-clock time of a round, ISO 8601 to the millisecond: local with
// its offset, or UTC with Z.
std::string timestamp(bool utc)
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm t{};
    if (utc)
        ::gmtime_r(&ts.tv_sec, &t);
    else
        ::localtime_r(&ts.tv_sec, &t);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &t);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03ld", date, static_cast<long>(ts.tv_nsec / 1000000));
    if (utc)
        return std::string(text) + "Z";
    char zone[8];
    std::strftime(zone, sizeof zone, "%z", &t); // +0100; ISO 8601 has +01:00
    std::string z = zone;
    if (z.size() == 5)
        z.insert(3, ":");
    return text + z;
}

std::string csv_cell(const std::string &cell)
{
    if (cell.find_first_of(",\"\r\n") == std::string::npos)
        return cell;
    std::string s = "\"";
    for (char c : cell)
        s += c == '"' ? std::string("\"\"") : std::string(1, c);
    return s + "\"";
}

// The rows of poll's table: the header once, then every round's rows under
// it with their time in front.
class PollRows {
public:
    explicit PollRows(bool csv) : csv_(csv) {}

    void print(const std::string &time, const Table &table)
    {
        const auto &rows = table.rows();
        if (rows.empty())
            return;
        if (width_.empty()) {
            width_.push_back(time.size());
            for (const auto &cell : rows[0])
                width_.push_back(cell.size());
            for (const auto &r : rows)
                for (std::size_t i = 0; i < r.size() && i + 1 < width_.size(); ++i)
                    width_[i + 1] = std::max(width_[i + 1], r[i].size());
            line("time", rows[0]);
        }
        for (std::size_t i = 1; i < rows.size(); ++i)
            line(time, rows[i]);
    }

private:
    void line(const std::string &first, const std::vector<std::string> &cells)
    {
        std::string s = csv_ ? csv_cell(first) : first;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (csv_) {
                // Appended in two steps: GCC 12's -Wrestrict misjudges
                // "," + a temporary string in optimised builds.
                s += ',';
                s += csv_cell(cells[i]);
                continue;
            }
            const std::string &before = i == 0 ? first : cells[i - 1];
            s += std::string(width_[i] > before.size() ? width_[i] - before.size() + 2 : 2, ' ');
            s += cells[i];
        }
        std::fprintf(out_stream(), "%s\n", s.c_str());
    }

    bool csv_;
    std::vector<std::size_t> width_;
};

} // namespace

int run_poll(const Options &o)
{
    if (o.args.empty())
        return usage_error("poll: expected a read COMMAND: ai, tc, di, do or sensors");
    const Command *inner = find_command(o.args[0]);
    if (!inner || !inner->pollable)
        return usage_error("poll: " + o.args[0] + " is no read that poll repeats: ai, tc, di, do or sensors");
    if (o.save)
        return usage_error("--save: poll changes no setting");
    Prepared p = prepare(o, *inner, {o.args.begin() + 1, o.args.end()});
    if (!p.error.empty())
        return usage_error(p.error);

    catch_stop();
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto elapsed_ms = [&] {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count());
    };
    Link l(o, info(o.model));
    PollRows rows(o.csv);
    long rounds = 0, sent = 0, answered = 0, not_sent = 0, errors = 0;
    for (long round = 1; o.count == 0 || round <= o.count; ++round) {
        if (round > 1 && wait_or_stop((round - 1) * o.interval_ms - elapsed_ms()))
            break;
        if (stop_requested)
            break;
        const long at = elapsed_ms();
        const std::string time = timestamp(o.utc);
        Outcome out;
        const bool open = open_service(l, inner->service, out);
        if (open)
            p.action(l, out);
        // A call that Ctrl-C interrupted is no round of its own.
        if (stop_requested && !out.ok && out.why.code.value() == EINTR)
            break;
        ++rounds;
        if (!open)
            ++not_sent;
        else
            ++sent;
        if (open && (out.ok || out.replied))
            ++answered;
        if (!out.ok)
            ++errors;
        bool written = true;
        if (o.json) {
            JsonObject extra;
            extra.num("round", round).str("time", time).num("elapsed_ms", at);
            written = print(o, inner->name, out, extra, "round " + std::to_string(round) + ": ");
        } else {
            rows.print(time, out.table);
            written = output_ok();
            if (!out.ok)
                error_line("round " + std::to_string(round) + ": " + failure_line(o, out));
        }
        // Nobody reads on: stop at once.
        if (!written)
            return exit_failed;
    }

    const long lost = sent - answered;
    const double loss = sent ? 100.0 * static_cast<double>(lost) / static_cast<double>(sent) : 0.0;
    char loss_text[32];
    std::snprintf(loss_text, sizeof loss_text, "%.1f", loss);
    if (o.json) {
        JsonObject s;
        s.num("rounds", rounds).num("sent", sent).num("answered", answered).num("lost", lost)
            .num("not_sent", not_sent).num("errors", errors).raw("loss_percent", loss_text);
        JsonObject j = envelope(o, "poll");
        j.str("poll", inner->name).raw("summary", s.text());
        std::fprintf(out_stream(), "%s\n", j.text().c_str());
    } else {
        // A CSV file holds the rows alone.
        std::fflush(out_stream());
        std::fprintf(o.csv ? stderr : out_stream(),
                     "--- %s %s %s: %ld rounds, %ld sent, %ld answered, %ld lost (%s%%), "
                     "%ld not sent (no connection), %ld errors\n",
                     o.address.c_str(), info(o.model).name, inner->name, rounds, sent, answered,
                     lost, loss_text, not_sent, errors);
    }
    const bool written = output_ok();
    return errors == 0 && written ? exit_ok : exit_failed;
}

} // namespace kivtool
