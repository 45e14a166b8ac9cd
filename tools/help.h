// The tool's --help and each command's.
#pragma once

#include "command.h"

#include <cstdio>

namespace kivtool {

void print_usage(std::FILE *f);
void print_command_help(std::FILE *f, const Command &c);

} // namespace kivtool
