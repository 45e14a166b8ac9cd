// The list of commands, and poll's place in it.
#include "command.h"

namespace kivtool {

namespace {

bool has_pollable(const ModelInfo &) { return true; }

Prepared no_prepare(const Options &, const ModelInfo &)
{
    return {{}, "poll is run by the poll loop"};
}

} // namespace

const std::vector<Command> &all_commands()
{
    static const std::vector<Command> list = [] {
        std::vector<Command> l = process_data_commands();
        for (Command &c : configuration_commands())
            l.push_back(c);
        l.push_back({"poll", "poll COMMAND [ARGS]", "repeat a read, then a summary",
                     "Repeats the read COMMAND (ai, tc, di, do or sensors) every --interval ms\n"
                     "(default 1000) for --count rounds, or until Ctrl-C, on one connection,\n"
                     "and ends with a summary line: sent, received, errors, loss. A round that\n"
                     "gets no answer (timeout, dropped connection) is lost; after it the tool\n"
                     "reconnects, since a late reply would otherwise be taken as the next one's.\n"
                     "A Modbus exception is an answer: received, but an error.\n"
                     "Each round prints \"--- round N, +T ms\" and the command's table; with\n"
                     "--json one JSON object per line per round (with \"round\" and \"elapsed_ms\"),\n"
                     "then the summary object {\"summary\": {\"sent\", \"received\", \"errors\",\n"
                     "\"loss_percent\"}}.\n"
                     "Exit status 0 only when every round succeeded.\n"
                     "Example: kivtool -i 500 -c 20 192.168.1.12 7303 poll tc",
                     Service::modbus, false, false, has_pollable, no_prepare});
        return l;
    }();
    return list;
}

const Command *find_command(std::string_view name)
{
    for (const Command &c : all_commands())
        if (name == c.name)
            return &c;
    return nullptr;
}

std::string models_of(const Command &c)
{
    std::string s;
    for (Model m : {Model::zrm7301, Model::zrm7302, Model::zrm7303})
        if (c.available(info(m)))
            s += (s.empty() ? "" : ", ") + std::to_string(static_cast<int>(m));
    return s;
}

} // namespace kivtool
