// Log lines on standard error: "kiv-gateway: <level>: <text>", at or above
// the level chosen on the command line. Safe from any thread.
#pragma once

#include <string>

namespace gateway {

enum class Level { debug, info, warn, error };

void set_log_level(Level l);
bool parse_level(const std::string &text, Level &out);
void log(Level l, const std::string &text);
// Whether lines of level l are shown: for callers whose text costs to make.
bool log_enabled(Level l);

} // namespace gateway
