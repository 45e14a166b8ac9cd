// Running a command: open the service it needs, run it once or poll it,
// print its result, and give the exit status.
#pragma once

#include "command.h"

namespace kivtool {

// A usage error: the message on standard error, status 2, nothing sent.
int usage_error(std::string_view message);

int run_once(const Options &o, const Command &c);
int run_poll(const Options &o);

} // namespace kivtool
