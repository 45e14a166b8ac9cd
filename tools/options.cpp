#include "options.h"

#include "args.h"

#include "kiv.hpp"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>

namespace kivtool {

namespace {

// A number option checked where it is parsed, in the tool's own number
// forms (decimal, 0x, 0b), so that "-t 010" is ten and not eight.
template <class T>
CLI::Option *number(CLI::App &app, const std::string &names, T &out, long low, long high,
                    bool *given = nullptr)
{
    return app
        .add_option_function<std::string>(
            names,
            [&out, low, high, given, names](const std::string &v) {
                auto n = parse_unsigned(v, static_cast<unsigned long>(high));
                if (!n || static_cast<long>(*n) < low)
                    throw CLI::ValidationError(names.substr(names.rfind(',') + 1),
                                               v + ": expected a number " + std::to_string(low) +
                                                   ".." + std::to_string(high));
                out = static_cast<T>(*n);
                if (given)
                    *given = true;
            })
        ->type_name("N");
}

} // namespace

bool parse_command_line(int argc, char **argv, Options &o, std::string &error)
{
    CLI::App app{"", "kivtool"};
    // The help is the tool's own (help.cpp), in the words of its commands.
    app.set_help_flag();
    app.add_flag("-h,--help", o.help);
    app.add_flag("--version", o.version);
    app.add_flag("-j,--json", o.json);
    app.add_flag("-v,--verbose", o.verbose);
    app.add_flag("--save", o.save);
    app.add_flag("--verify", o.verify);
    app.add_flag("--csv", o.csv)->excludes("--json");
    app.add_flag("--utc", o.utc);
    number(app, "--modbus-port", o.modbus_port, 1, 65535);
    number(app, "--config-port", o.config_port, 1, 65535);
    // Timeouts go to the library as ms; 0 would time out before any answer
    // could come, and an hour is more than any module needs.
    constexpr long max_timeout = 3600000;
    number(app, "--connect-timeout", o.connect_timeout_ms, 1, max_timeout);
    number(app, "-t,--timeout", o.timeout_ms, 1, max_timeout);
    number(app, "-i,--interval", o.interval_ms, 0, 86400000, &o.poll_options);
    number(app, "-c,--count", o.count, 1, 1000000000, &o.poll_options);
    app.add_option("--password", o.password)->type_name("P");
    app.add_option("words", o.words);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        error = e.what();
        return false;
    }
    if (o.csv || o.utc)
        o.poll_options = true;
    if (o.help || o.version)
        return true;
    for (const std::string &w : o.words)
        if (w == "help")
            return true;
    in_addr a{};
    if (o.words.size() < 3 && ::inet_pton(AF_INET, o.password.c_str(), &a) == 1) {
        error = "--password took " + o.password +
                " as the password, and ADDRESS is missing: give --password P or --password=P";
        return false;
    }
    // The module's password is 8 bytes; a longer one cannot be it.
    if (o.password.size() > 8) {
        error = "--password: at most 8 characters";
        return false;
    }
    if (o.words.size() < 3) {
        error = o.words.empty() ? "no ADDRESS MODEL COMMAND given"
                                : "expected ADDRESS MODEL COMMAND [ARGS]";
        return false;
    }
    o.address = o.words[0];
    // Digits and dots are meant as an address, never as a name: the
    // resolver would send a bad one to the name server.
    if (o.address.find_first_not_of("0123456789.") == std::string::npos &&
        ::inet_pton(AF_INET, o.address.c_str(), &a) != 1) {
        error = "address " + o.address + ": expected an IPv4 address such as 192.168.1.10";
        return false;
    }
    if (!parse_model(o.words[1], o.model)) {
        error = "model " + o.words[1] + ": expected 7301, 7302 or 7303";
        return false;
    }
    o.command = o.words[2];
    o.args.assign(o.words.begin() + 3, o.words.end());
    return true;
}

bool resolve_address(Options &o, std::string &error)
{
    std::string why;
    std::string ip = kiv::resolve_ipv4(o.address, &why);
    if (ip.empty()) {
        error = "address " + o.address + ": " + why;
        return false;
    }
    o.address = ip;
    return true;
}

} // namespace kivtool
