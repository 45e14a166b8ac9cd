#include "commands.h"

#include "kiv.hpp"

#include <algorithm>

namespace gateway {

std::variant<OutputCommand, std::string> parse_command(const Config &c, std::string_view module,
                                                       std::string_view channel, std::string_view state)
{
    const auto m =
        std::find_if(c.modules.begin(), c.modules.end(), [&](auto &x) { return !x.vacant() && x.name == module; });
    if (m == c.modules.end())
        return "no module " + std::string(module);
    if (!m->commands)
        return "commands are off for module " + m->name;
    if (channel.empty() || channel.size() > 2 || channel.find_first_not_of("0123456789") != std::string_view::npos)
        return "channel \"" + std::string(channel) + "\" is no number";
    const int n = channel.size() == 1 ? channel[0] - '0' : (channel[0] - '0') * 10 + (channel[1] - '0');
    if (n < 1 || n > m->traits->outputs)
        return "module " + m->name + " has no output " + std::to_string(n);
    if (state != "on" && state != "off")
        return std::string("the payload must be on or off");
    return OutputCommand{static_cast<std::size_t>(m - c.modules.begin()), n, state == "on"};
}

} // namespace gateway
