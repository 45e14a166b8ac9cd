// The modules that one process serves, as options of one module each: the
// command line's module, N alike from --modules, or the lines of a --plant
// file.
#pragma once

#include "options.h"

#include <string>
#include <vector>

namespace zrmsim {

// The options of every module in module order, each with its module_index.
// On failure error says why in one line (exit status 2); for a plant file it
// names the file, the line and the reason.
bool plant_modules(const Options &command_line, std::vector<Options> &modules, std::string &error);

// More than one module, or a plant file: the process serves a plant.
bool serves_plant(const Options &command_line);

} // namespace zrmsim
