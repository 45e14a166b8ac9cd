#include "report.h"

#include <cstdio>

namespace kivtool {

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

namespace {

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

} // namespace

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

} // namespace kivtool
