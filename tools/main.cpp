// kivtool: reads and sets a ZRM remote I/O module from the shell.
#include "help.h"
#include "run.h"

#include <string_view>

using namespace kivtool;

namespace {

// "help [COMMAND]" anywhere among the words, or --help with a command
// name among them.
int help(const Options &o)
{
    for (std::size_t i = 0; i < o.words.size(); ++i) {
        if (o.words[i] != "help")
            continue;
        if (i + 1 >= o.words.size())
            break;
        const Command *c = find_command(o.words[i + 1]);
        if (!c)
            return usage_error("help: no command " + o.words[i + 1]);
        print_command_help(out_stream(), *c);
        return output_ok() ? exit_ok : exit_failed;
    }
    if (o.help)
        for (const std::string &w : o.words)
            if (const Command *c = find_command(w)) {
                print_command_help(out_stream(), *c);
                return output_ok() ? exit_ok : exit_failed;
            }
    print_usage(out_stream());
    return output_ok() ? exit_ok : exit_failed;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    std::string error;
    bool parsed = parse_command_line(argc, argv, o, error);
    setup_streams(o.verbose);
    if (!parsed)
        return usage_error(error);
    if (o.version) {
        std::fputs("kivtool " KIV_VERSION_STRING "\n", out_stream());
        return output_ok() ? exit_ok : exit_failed;
    }
    bool help_word = false;
    for (const std::string &w : o.words)
        help_word = help_word || w == "help";
    if (o.help || help_word)
        return help(o);
    if (!resolve_address(o, error)) {
        error_line(error);
        return exit_failed;
    }
    if (int rc = KIV_Init(); rc != KIV_OK) {
        error_line("KIV_Init: " + kiv::result_text(rc));
        return exit_failed;
    }
    if (o.command == "poll")
        return run_poll(o);
    const Command *c = find_command(o.command);
    if (!c)
        return usage_error("no command " + o.command);
    return run_once(o, *c);
}
