// Log lines on standard error: "kiv-gateway: <level>: <text>", at or above
// the level chosen on the command line, control bytes escaped. Safe from
// any thread. The lines themselves are common/log.h's.
#pragma once

#include "common/log.h"

#include <string_view>

namespace gateway {

using common::escape_for_log;
using common::Level;
using common::log_enabled;
using common::parse_level;
using common::set_log_level;

inline void log(Level l, std::string_view text)
{
    common::log("kiv-gateway", l, text);
}

} // namespace gateway
