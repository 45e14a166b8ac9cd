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
                     "(default 1000) for --count rounds, or until Ctrl-C, on one connection.\n"
                     "The table's header comes once; each row has the round's wall-clock time\n"
                     "in front, ISO 8601 to the millisecond, local or with --utc; --csv gives\n"
                     "the same as comma-separated values. A round that gets no answer\n"
                     "(timeout, dropped connection) is lost; after it the tool reconnects,\n"
                     "since a late reply would otherwise be taken as the next one's. A round\n"
                     "without a connection (refused) is not sent. A Modbus exception is an\n"
                     "answer, but an error. The summary counts rounds, sent, answered, lost\n"
                     "(and its share of sent), not sent and errors; with --csv it goes to\n"
                     "standard error. With --json one object per round (with \"round\",\n"
                     "\"time\" and \"elapsed_ms\"), then {\"summary\": {\"rounds\", \"sent\",\n"
                     "\"answered\", \"lost\", \"not_sent\", \"errors\", \"loss_percent\"}}.\n"
                     "A closed pipe or a full disk on standard output stops it at once.\n"
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
