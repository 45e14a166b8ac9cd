// gateway-meter: the measuring half of bench/gateway-bench, which starts the
// broker, the plant and the gateway and gives this program their places.
//
//   gateway-meter measure --broker HOST:PORT --id ID --modules FILE --pid PID
//                         [--interval MS] [--settle S] [--window S] [--dump FILE]
//                         [--until FILE]
//   gateway-meter floor --modules FILE --polls 7301=N,7302=N,7303=N
//
// Both print their figures as key=value lines on standard output.
#include "floor.h"
#include "measure.h"
#include "module_list.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

namespace {

using Options = std::map<std::string, std::string>;

bool parse_options(int argc, char **argv, Options &o)
{
    for (int i = 2; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::fprintf(stderr, "gateway-meter: %s needs a value\n", argv[i]);
            return false;
        }
        o[name.substr(2)] = argv[i + 1];
    }
    return true;
}

bool require(const Options &o, std::initializer_list<const char *> names)
{
    for (const char *n : names)
        if (o.count(n) == 0) {
            std::fprintf(stderr, "gateway-meter: --%s is required\n", n);
            return false;
        }
    return true;
}

// "7301=N,7302=N,7303=N"
bool parse_polls(const std::string &text, std::map<int, long> &out)
{
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const auto eq = item.find('=');
        if (eq == std::string::npos)
            return false;
        out[std::atoi(item.substr(0, eq).c_str())] = std::atol(item.c_str() + eq + 1);
    }
    return !out.empty();
}

int run_measure(const Options &o, const std::vector<gwbench::Module> &modules)
{
    if (!require(o, {"broker", "id", "pid"}))
        return 2;
    gwbench::MeasureSetup s;
    const std::string broker = o.at("broker");
    const auto colon = broker.rfind(':');
    s.host = broker.substr(0, colon);
    s.port = colon == std::string::npos ? 1883 : std::atoi(broker.c_str() + colon + 1);
    s.gateway_id = o.at("id");
    s.gateway_pid = std::atoi(o.at("pid").c_str());
    if (o.count("interval"))
        s.interval_ms = std::atoi(o.at("interval").c_str());
    if (o.count("settle"))
        s.settle_s = std::atof(o.at("settle").c_str());
    if (o.count("window"))
        s.window_s = std::atof(o.at("window").c_str());
    if (o.count("dump"))
        s.dump_path = o.at("dump");
    if (o.count("until"))
        s.until_path = o.at("until");
    if (s.port <= 0 || s.gateway_pid <= 0 || s.interval_ms <= 0 || s.window_s <= 0) {
        std::fprintf(stderr, "gateway-meter: bad --broker, --pid, --interval or --window\n");
        return 2;
    }
    std::string message;
    if (!gwbench::measure(s, modules, message)) {
        std::fprintf(stderr, "gateway-meter: %s\n", message.c_str());
        return 1;
    }
    return 0;
}

int run_floor(const Options &o, const std::vector<gwbench::Module> &modules)
{
    std::map<int, long> polls;
    if (!require(o, {"polls"}))
        return 2;
    if (!parse_polls(o.at("polls"), polls)) {
        std::fprintf(stderr, "gateway-meter: --polls takes MODEL=N,...\n");
        return 2;
    }
    gwbench::FloorResult r;
    std::string message;
    if (!gwbench::run_floor(modules, polls, r, message)) {
        std::fprintf(stderr, "gateway-meter: %s\n", message.c_str());
        return 1;
    }
    std::printf("floor_exchanges=%ld\nfloor_failed=%ld\nfloor_cpu_s=%.3f\nfloor_wall_s=%.3f\n",
                r.exchanges, r.failed, r.cpu_seconds, r.wall_seconds);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    const std::string command = argc > 1 ? argv[1] : "";
    if ((command != "measure" && command != "floor") || !parse_options(argc, argv, o) ||
        !require(o, {"modules"})) {
        std::fprintf(stderr, "usage: gateway-meter measure|floor --modules FILE ... (see meter.cpp)\n");
        return 2;
    }
    std::vector<gwbench::Module> modules;
    std::string message;
    if (!gwbench::read_module_list(o.at("modules"), modules, message)) {
        std::fprintf(stderr, "gateway-meter: %s\n", message.c_str());
        return 2;
    }
    return command == "measure" ? run_measure(o, modules) : run_floor(o, modules);
}
