// Log lines on standard error: "kiv-gateway: <level>: <text>", at or above
// the level chosen on the command line. Safe from any thread.
//
// Texts often carry what came from outside (payloads, topics, a module's
// answers, file contents): log() shows their control bytes as escapes, so
// that nothing a peer sends can start a line of its own or speak to the
// terminal. Our own texts hold no control bytes and pass unchanged.
#pragma once

#include <string>
#include <string_view>

namespace gateway {

enum class Level { debug, info, warn, error };

void set_log_level(Level l);
bool parse_level(const std::string &text, Level &out);
void log(Level l, const std::string &text);
// Whether lines of level l are shown: for callers whose text costs to make.
bool log_enabled(Level l);
// text as log() writes it: \n, \r, \t and \xNN for the other control bytes
// (C1 ones too) and for bytes that are not UTF-8.
std::string escape_for_log(std::string_view text);

} // namespace gateway
