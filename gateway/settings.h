// Declared module settings: log in to the module's configuration service,
// read what is declared, write only what differs (each write echo-checked
// by the library), save when asked, and say what was found, changed and
// what failed.
#pragma once

#include "config.h"

#include <string>

namespace gateway {

// The report as one JSON object: {"module", "ts", "found", "changed",
// "failed", "saved"}; "found" and "changed" map a setting to its value
// (channel lists, range labels), "failed" to the result name.
std::string apply_settings(const ModuleConfig &m);

} // namespace gateway
