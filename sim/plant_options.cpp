#include "plant_options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace zrmsim {

namespace {

std::string address_text(std::uint32_t host_order)
{
    in_addr a{};
    a.s_addr = htonl(host_order);
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool copies(const Options &command_line, std::vector<Options> &modules, std::string &error)
{
    in_addr a{};
    ::inet_pton(AF_INET, command_line.address.c_str(), &a);
    const std::uint32_t first = ntohl(a.s_addr);
    const std::uint64_t last = std::uint64_t{first} + static_cast<std::uint64_t>(command_line.modules) - 1;
    // Many addresses are only ever taken on loopback, where every one of
    // them is this machine's own.
    if (command_line.modules > 1 && ((first >> 24) != 127 || (last >> 24) != 127)) {
        error = "--modules " + std::to_string(command_line.modules) + " from " + command_line.address +
                ": the addresses must stay within 127.0.0.0/8";
        return false;
    }
    for (int i = 0; i < command_line.modules; ++i) {
        Options o = command_line;
        o.address = address_text(static_cast<std::uint32_t>(first + static_cast<std::uint32_t>(i)));
        o.module_index = i;
        modules.push_back(std::move(o));
    }
    return true;
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos)
            return out;
        auto end = line.find_first_of(" \t", at);
        out.push_back(line.substr(at, end - at));
        at = end;
    }
}

bool read_plant(const Options &command_line, std::vector<Options> &modules, std::string &error)
{
    const std::string &path = command_line.plant_file;
    std::ifstream in(path);
    if (!in) {
        error = "plant file " + path + ": cannot read it: " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> args = words(line);
        if (args.empty() || args.front().front() == '#')
            continue;
        auto fail = [&](const std::string &why) {
            error = "plant file " + path + ", line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (static_cast<int>(modules.size()) == max_modules)
            return fail("more than " + std::to_string(max_modules) + " modules");
        std::string program = "zrm-sim";
        std::vector<char *> argv{program.data()};
        for (auto &a : args)
            argv.push_back(a.data());
        Options o;
        std::string message;
        switch (parse_options(static_cast<int>(argv.size()), argv.data(), o, message, OptionScope::plant_line)) {
        case ParseResult::run:
            break;
        case ParseResult::help:
        case ParseResult::version:
            return fail("--help and --version have no place here");
        case ParseResult::error:
            return fail(message);
        }
        o.verbose = command_line.verbose;
        o.wall_clock = command_line.wall_clock;
        o.module_index = static_cast<int>(modules.size());
        modules.push_back(std::move(o));
    }
    if (in.bad()) {
        error = "plant file " + path + ": cannot read it: " + std::strerror(errno);
        return false;
    }
    if (modules.empty()) {
        error = "plant file " + path + ": no modules in it";
        return false;
    }
    return true;
}

} // namespace

bool serves_plant(const Options &command_line)
{
    return command_line.modules > 1 || !command_line.plant_file.empty();
}

bool plant_modules(const Options &command_line, std::vector<Options> &modules, std::string &error)
{
    modules.clear();
    if (!command_line.plant_file.empty())
        return read_plant(command_line, modules, error);
    return copies(command_line, modules, error);
}

} // namespace zrmsim
