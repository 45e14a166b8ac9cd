// The command line: options anywhere, then ADDRESS MODEL COMMAND [ARGS].
#pragma once

#include "models.h"

#include <string>
#include <vector>

namespace kivtool {

// Exit statuses: 0 only when every call succeeded.
enum ExitStatus { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

struct Options {
    std::string address;
    Model model = Model::zrm7301;
    std::string command;
    std::vector<std::string> args;

    int modbus_port = 502;
    int config_port = 5001;
    int connect_timeout_ms = 1000;
    int timeout_ms = 1000;
    std::string password;
    bool json = false;
    bool verbose = false;
    bool save = false;
    bool verify = false; // after a save: log in again and read the setting back
    int interval_ms = 1000;
    long count = 0; // poll rounds; 0 = until Ctrl-C
    bool csv = false;
    bool utc = false;
    bool poll_options = false; // --interval, --count, --csv or --utc given
    bool help = false;
    bool version = false;
    // Positional words as given, for the help of a command.
    std::vector<std::string> words;
};

// Fills o from the command line; on a usage error returns false with the
// message in error. With --help or --version the positionals need not be
// complete.
bool parse_command_line(int argc, char **argv, Options &o, std::string &error);

// Puts the IPv4 address of a host name in o.address; false with the
// resolver's message in error.
bool resolve_address(Options &o, std::string &error);

} // namespace kivtool
