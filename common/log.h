// Log lines on standard error, "<program>: <text>", each in one write so
// that lines of different threads never mix. Safe from any thread.
//
// log() adds a level, shows lines at or above the chosen one only, and
// writes control bytes as escapes: its texts often carry what came from
// outside (payloads, topics, a module's answers, file contents), and
// nothing a peer sends may start a line of its own or speak to the
// terminal. Our own texts hold no control bytes and pass unchanged.
#pragma once

#include <string>
#include <string_view>

namespace common {

enum class Level { debug, info, warn, error };

void set_log_level(Level l);
bool parse_level(const std::string &text, Level &out);
// Whether lines of level l are shown: for callers whose text costs to make.
bool log_enabled(Level l);

// "<program>: <level>: <text, escaped>" when l is shown.
void log(std::string_view program, Level l, std::string_view text);
// "<program>: <text>" as it is, always.
void log_line(std::string_view program, std::string_view text);

// text as log() writes it: \n, \r, \t and \xNN for the other control bytes
// (C1 ones too) and for bytes that are not UTF-8.
std::string escape_for_log(std::string_view text);

} // namespace common
