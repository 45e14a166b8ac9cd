// The measurement of a running gateway: its CPU and memory from /proc and
// its messages from the broker, over a window after a settling time.
#pragma once

#include "module_list.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace gwbench {

struct MeasureSetup {
    std::string host;
    int port = 0;
    std::string gateway_id;
    pid_t gateway_pid = 0;
    int interval_ms = 100;
    double settle_s = 5;
    double window_s = 30;
    std::string dump_path;  // if set, every message of the window: topic, a space, payload
    // If set, the window ends as soon as this file exists (window_s bounds
    // it still): its end is an event that the caller sees, not a time.
    std::string until_path;
};

// Prints the figures as key=value lines on standard output.
bool measure(const MeasureSetup &setup, const std::vector<Module> &modules, std::string &message);

} // namespace gwbench
