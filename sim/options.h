// The command line of zrm-sim.
#pragma once

#include "model.h"
#include "values.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zrmsim {

struct Options {
    Model model = Model::zrm7301;
    std::string address = "127.0.0.1";
    int modbus_port = 502;
    int config_port = 5001;
    std::optional<std::string> password;   // none: the login carries no code
    std::string state_file;                // empty: settings live in memory only
    int reboot_ms = 500;
    int idle_timeout_s = 300;              // 0: connections may stay idle for ever

    FixedValues fixed;
    std::optional<unsigned> do_mask;       // outputs at start, instead of u8_povp
    std::optional<std::int32_t> ai_en, tc_en, povp;
    std::array<std::optional<int>, 8> range;

    int delay_ms = 0;
    std::optional<int> exception;
    std::optional<long> close_after;
    std::vector<std::string> config_ignore;
    int slow_every = 1;                    // with delay_ms: only every K-th answer is late

    // The whole process.
    bool verbose = false;
    bool wall_clock = false;               // live values follow CLOCK_REALTIME
    int modules = 1;                       // --modules: copies on consecutive addresses
    std::string plant_file;                // --plant: one module per line

    // Set for each module of a plant, not by an option: its place in the
    // plant, which offsets its live values in time.
    int module_index = 0;
};

// The most modules one process serves: every module must be able to hold a
// Modbus connection on a descriptor below FD_SETSIZE, and the 1024 numbers
// there are shared with standard input, output and error.
inline constexpr int max_modules = 1000;

enum class ParseResult { run, help, version, error };

// Where a set of options comes from: the command line, or one line of a
// plant file, which names one module and takes no options of the process.
enum class OptionScope { command_line, plant_line };

// On error, message says what was wrong in one line.
ParseResult parse_options(int argc, char **argv, Options &o, std::string &message,
                          OptionScope scope = OptionScope::command_line);

// The --help text, with the defaults that Options holds.
std::string usage_text();
// "zrm-sim <version>" and a newline: the project's version, which the build
// passes in.
const char *version_text();

} // namespace zrmsim
