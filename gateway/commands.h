// Output commands as they come in: parsed once, where they enter, into an
// OutputCommand checked against the configuration and the module's model,
// or refused with the reason.
#pragma once

#include "config.h"
#include "pipeline.h"

#include <string>
#include <string_view>
#include <variant>

namespace gateway {

// module: a configured module's name; channel: the output's number as
// text ("1".."8"); state: "on" or "off".
std::variant<OutputCommand, std::string> parse_command(const Config &c, std::string_view module,
                                                       std::string_view channel, std::string_view state);

} // namespace gateway
