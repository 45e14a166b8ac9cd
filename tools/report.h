// What a run prints: the command's table or JSON line on standard output,
// and on failure one line on standard error that names what was being
// done, the call and its result.
#pragma once

#include "command.h"

#include <string>

namespace kivtool {

std::string failure_line(const Options &o, const Outcome &out);
// {"address":..,"model":..,"command":..}: what every JSON line begins with.
JsonObject envelope(const Options &o, const std::string &command);
// Prints one outcome: the table (or JSON line) and, on failure, the error.
// False when standard output took it no longer.
bool print(const Options &o, const std::string &command, const Outcome &out, JsonObject extra,
           const std::string &prefix);

} // namespace kivtool
