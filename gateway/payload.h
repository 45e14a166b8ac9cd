// The JSON object that a poll publishes.
#pragma once

#include "process_image.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace gateway {

// "2026-12-08T10:15:02.123Z"
std::string rfc3339_utc_ms(std::chrono::system_clock::time_point t);

// {"module":..,"model":..,"ts":..,"run":..,"seq":..,"ai"|"tc"|"di"|"do"|"sensors":..}
// on one line; "run" only when it is not 0 (the store numbers the runs).
// Values are written with the module's own digits: a reading of 12 and 50
// is 12.50, which a double would print as 12.5.
std::string values_json(const std::string &module, std::uint64_t seq, const ProcessImage &p, std::uint64_t run = 0);

} // namespace gateway
