#include "options.h"

#include "args.h"

#include <arpa/inet.h>

#include <string_view>

namespace kivtool {

namespace {

struct Parser {
    Options &o;
    std::string &error;

    bool fail(std::string message)
    {
        error = std::move(message);
        return false;
    }

    bool number(std::string_view name, std::string_view v, long low, long high, long &out)
    {
        auto n = parse_unsigned(v, static_cast<unsigned long>(high));
        if (!n || static_cast<long>(*n) < low)
            return fail(std::string(name) + " " + std::string(v) + ": expected a number " +
                        std::to_string(low) + ".." + std::to_string(high));
        out = static_cast<long>(*n);
        return true;
    }

    bool number(std::string_view name, std::string_view v, long low, long high, int &out)
    {
        long l = 0;
        if (!number(name, v, low, high, l))
            return false;
        out = static_cast<int>(l);
        return true;
    }

    // The option name at i, with its value from "--name=value" or the next
    // word; returns 0 for no option, 1 taken, -1 failed.
    int option(int argc, char **argv, int &i)
    {
        std::string_view word = argv[i];
        std::string_view name = word;
        std::string_view value;
        bool inline_value = false;
        if (auto eq = word.find('='); word.rfind("--", 0) == 0 && eq != std::string_view::npos) {
            name = word.substr(0, eq);
            value = word.substr(eq + 1);
            inline_value = true;
        }
        auto flag = [&](bool &b) {
            if (inline_value) {
                fail(std::string(name) + " takes no value");
                return -1;
            }
            b = true;
            return 1;
        };
        if (name == "--json" || name == "-j")
            return flag(o.json);
        if (name == "--verbose" || name == "-v")
            return flag(o.verbose);
        if (name == "--save")
            return flag(o.save);
        if (name == "--help" || name == "-h")
            return flag(o.help);
        if (name == "--version")
            return flag(o.version);

        static constexpr std::string_view valued[] = {
            "--modbus-port", "--config-port", "--connect-timeout", "--timeout", "-t",
            "--password",    "--interval",    "-i",                "--count",   "-c"};
        bool known = false;
        for (std::string_view v : valued)
            known = known || v == name;
        if (!known) {
            // Range labels such as -10~10V begin with a minus and a digit:
            // they are words, not options.
            const bool label_like = name.size() > 1 && name[1] >= '0' && name[1] <= '9';
            if (name.size() > 1 && name[0] == '-' && !label_like) {
                fail("unknown option " + std::string(name));
                return -1;
            }
            return 0;
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                fail(std::string(name) + " needs a value");
                return -1;
            }
            value = argv[++i];
        }
        bool ok = true;
        // Timeouts go to the library as ms; an hour is more than any module needs.
        constexpr long max_timeout = 3600000;
        if (name == "--modbus-port")
            ok = number(name, value, 1, 65535, o.modbus_port);
        else if (name == "--config-port")
            ok = number(name, value, 1, 65535, o.config_port);
        else if (name == "--connect-timeout")
            ok = number(name, value, 0, max_timeout, o.connect_timeout_ms);
        else if (name == "--timeout" || name == "-t")
            ok = number(name, value, 0, max_timeout, o.timeout_ms);
        else if (name == "--interval" || name == "-i") {
            ok = number(name, value, 0, 86400000, o.interval_ms);
            o.poll_options = true;
        } else if (name == "--count" || name == "-c") {
            ok = number(name, value, 1, 1000000000, o.count);
            o.poll_options = true;
        } else if (name == "--password") {
            // The module's password is 8 bytes; a longer one cannot be it.
            if (value.size() > 8)
                ok = fail("--password: at most 8 characters");
            else
                o.password = std::string(value);
        }
        return ok ? 1 : -1;
    }
};

} // namespace

bool parse_command_line(int argc, char **argv, Options &o, std::string &error)
{
    Parser p{o, error};
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view word = argv[i];
        if (!options_end && word == "--") {
            options_end = true;
            continue;
        }
        if (!options_end) {
            int r = p.option(argc, argv, i);
            if (r < 0)
                return false;
            if (r > 0)
                continue;
        }
        o.words.emplace_back(word);
    }
    if (o.help || o.version)
        return true;
    if (o.words.size() < 3)
        return p.fail(o.words.empty() ? "no ADDRESS MODEL COMMAND given"
                                      : "expected ADDRESS MODEL COMMAND [ARGS]");
    o.address = o.words[0];
    in_addr a{};
    if (::inet_pton(AF_INET, o.address.c_str(), &a) != 1)
        return p.fail("address " + o.address + ": expected an IPv4 address such as 192.168.1.10");
    if (!parse_model(o.words[1], o.model))
        return p.fail("model " + o.words[1] + ": expected 7301, 7302 or 7303");
    o.command = o.words[2];
    o.args.assign(o.words.begin() + 3, o.words.end());
    return true;
}

} // namespace kivtool
