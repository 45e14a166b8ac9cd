// kivtool: reads and sets a ZRM remote I/O module from the shell.
#include "help.h"
#include "run.h"

#include <string_view>

using namespace kivtool;

namespace {

// The command that a help request is about: a command name among the words
// (after "help", or anywhere with --help).
const Command *help_subject(const Options &o)
{
    for (const std::string &w : o.words)
        if (const Command *c = find_command(w))
            return c;
    return nullptr;
}

int help(const Options &o)
{
    if (const Command *c = help_subject(o)) {
        print_command_help(out_stream(), *c);
        return exit_ok;
    }
    for (const std::string &w : o.words)
        if (w != "help")
            return usage_error("help: no command " + w);
    print_usage(out_stream());
    return exit_ok;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    std::string error;
    bool parsed = parse_command_line(argc, argv, o, error);
    setup_streams(o.verbose);
    if (!parsed) {
        // "kivtool help [COMMAND]" has no address in front.
        if (!o.words.empty() && o.words[0] == "help") {
            o.help = true;
            return help(o);
        }
        return usage_error(error);
    }
    if (o.help || (!o.words.empty() && o.words[0] == "help"))
        return help(o);
    if (o.version) {
        std::fputs("kivtool " KIV_VERSION_STRING "\n", out_stream());
        return exit_ok;
    }
    if (int rc = KIV_Init(); rc != KIV_OK) {
        error_line("KIV_Init: " + kiv::result_text(rc));
        return exit_failed;
    }
    if (o.command == "poll")
        return run_poll(o);
    if (o.command == "help")
        return help(o);
    const Command *c = find_command(o.command);
    if (!c)
        return usage_error("no command " + o.command);
    return run_once(o, *c);
}
