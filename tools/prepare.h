// Getting a command ready to run: its action from its arguments (checked
// before anything is sent), and the service it talks to open.
#pragma once

#include "command.h"

#include <string>
#include <vector>

namespace kivtool {

// The command's action, or a usage error (with the status in status).
Prepared prepare(const Options &o, const Command &c, const std::vector<std::string> &args);

// Opens what the command talks to, unless it is open already.
bool open_service(Connections &l, Service s, Outcome &out);

} // namespace kivtool
