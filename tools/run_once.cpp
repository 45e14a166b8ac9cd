#include "prepare.h"
#include "report.h"
#include "run.h"
#include "save.h"

#include <cstdio>

namespace kivtool {

int usage_error(std::string_view message)
{
    error_line(message);
    std::fprintf(stderr, "Try 'kivtool --help' or 'kivtool help COMMAND'.\n");
    return exit_usage;
}

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

    Connections l(o, info(o.model));
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

} // namespace kivtool
