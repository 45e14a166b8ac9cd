#include "help.h"

#include <string>

namespace kivtool {

void print_usage(std::FILE *f)
{
    std::fputs("Usage: kivtool [OPTIONS] ADDRESS MODEL COMMAND [ARGS]\n"
               "  or:  kivtool help [COMMAND]\n"
               "\n"
               "Reads and sets a ZRM remote I/O module from the shell: process data over\n"
               "Modbus/TCP (port 502), settings over the configuration service (port 5001).\n"
               "ADDRESS is the module's IPv4 address or a host name (looked up for IPv4),\n"
               "MODEL 7301, 7302 or 7303. Channels are numbered from 1; FIRST defaults to 1\n"
               "and COUNT to the channels from FIRST on. States are on or off, in any case.\n"
               "\n",
               f);
    std::string lines = "Commands:\n";
    for (const Command &c : all_commands()) {
        std::string left = "  " + std::string(c.synopsis);
        left.resize(36, ' ');
        const std::string models = models_of(c);
        lines += left + c.summary + " (" + (models == "7301, 7302, 7303" ? "all" : models) + ")\n";
    }
    std::fputs(lines.c_str(), f);
    std::fputs(
        "\n"
        "Options (anywhere on the line; short ones join: -jv, -t500):\n"
        "  --modbus-port N       Modbus/TCP port (default 502)\n"
        "  --config-port N       configuration port (default 5001)\n"
        "  --connect-timeout MS  bound of the connect and of the login, above 0\n"
        "                        (default 1000)\n"
        "  -t, --timeout MS      reply wait of each exchange, save's too, above 0\n"
        "                        (default 1000)\n"
        "  --password P          configuration password, at most 8 characters\n"
        "                        (default: none)\n"
        "  --save                after a command that changes a setting, save the\n"
        "                        settings; the module restarts\n"        "  --verify              after a save, log in again once the module is back\n"
        "                        and read the setting back\n"
        "  -i, --interval MS     poll: time from one round to the next (default 1000)\n"
        "  -c, --count N         poll: number of rounds (default: until Ctrl-C)\n"
        "      --csv             poll: comma-separated rows, the summary on standard\n"
        "                        error\n"
        "      --utc             poll: times in UTC (default: local time)\n"
        "  -j, --json            print JSON, one object per line (below)\n"
        "  -v, --verbose         trace each library call and the reply data on standard\n"
        "                        error, with the library's own diagnostics\n"
        "  -h, --help            this text; with a COMMAND, that command's help\n"
        "      --version         the version of kivtool\n"
        "\n"
        "Exit status: 0 when every call succeeded; 1 when a call failed, with the\n"
        "error on standard error naming its result code in words and by name\n"
        "(\"timeout (KIV_ERR_TIMEOUT)\", \"connection refused (ECONNREFUSED)\"), a\n"
        "Modbus exception by its code and name (\"2, illegal data address\"), or when\n"
        "standard output could not be written (EPIPE, ENOSPC); 2 for a usage error\n"
        "such as a bad channel or range, found before anything is sent.\n"
        "\n"
        "JSON (--json): each run prints one object on one line:\n"
        "  {\"address\":\"192.168.1.12\",\"model\":7303,\"command\":\"tc\",\"ok\":true, FIELDS}\n"
        "FIELDS are the command's own, listed in its help. On failure \"ok\" is false\n"
        "and \"error\" is {\"doing\",\"call\",\"code\",\"name\",\"text\"}, with \"exception_code\"\n"
        "and \"exception_name\" for a Modbus exception, \"answer\" for an unexpected\n"
        "answer of the configuration service and \"note\" for what else is known.\n"
        "Values decoded from channel records are JSON numbers with the digits the\n"
        "module sent (12.50); their text form is a string beside them. A usage error\n"
        "prints no JSON.\n"
        "\n"
        "Changes in this version:\n"
        "  save and --save wait -t ms for the module's answer; without one in time\n"
        "  the save is reported as not confirmed (status 1), since the module may\n"
        "  have saved; --verify reads the setting back after it. range-set writes\n"
        "  one channel at a time and says which were written before a failure.\n"
        "  Errors name their result code (KIV_ERR_TIMEOUT, ECONNREFUSED) and Modbus\n"
        "  exceptions their code and name, for do, do-set and do-mask too. Units\n"
        "  read mV and mA. A failed write to standard output ends the tool with\n"
        "  status 1. Options follow shell use (-t500, -jv, help COMMAND anywhere);\n"
        "  states are on or off only; timeouts are above 0. poll prints wall-clock\n"
        "  times, the header once, --csv, and counts rounds sent, answered, lost\n"
        "  and not sent.\n"
        "\n"
        "Examples:\n"
        "  $ kivtool 192.168.1.12 7303 tc\n"
        "  $ kivtool 192.168.1.11 7302 do-set 3 on\n"
        "  $ kivtool --password secret 192.168.1.10 7301 range-set 1 0~10V 0~20mA --save\n"
        "  $ kivtool -i 500 -c 10 192.168.1.10 7301 poll ai\n",
        f);
}

void print_command_help(std::FILE *f, const Command &c)
{
    std::fprintf(f, "Usage: kivtool [OPTIONS] ADDRESS MODEL %s\n\n", c.synopsis);
    std::string summary = c.summary;
    if (!summary.empty())
        summary[0] = static_cast<char>(summary[0] - 'a' + 'A');
    std::fprintf(f, "%s. Models: %s. Service: %s.\n\n%s\n", summary.c_str(), models_of(c).c_str(),
                 c.service == Service::modbus ? "Modbus/TCP (--modbus-port)"
                                              : "configuration (--config-port, --password)",
                 c.help);
}

} // namespace kivtool
