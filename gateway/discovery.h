// Home Assistant's MQTT discovery: one retained configuration message per
// channel, all channels of a module grouped as one device, available while
// the module's status topic says "online" (and the gateway's too).
#pragma once

#include "config.h"

#include <string>
#include <utility>
#include <vector>

namespace gateway {

struct Retained {
    std::string topic;
    std::string payload;
};

// The discovery messages of every module: AI and TC values as sensors
// (temperatures in degrees Celsius), inputs as binary sensors, outputs as
// switches where the module takes commands and binary sensors otherwise.
std::vector<Retained> discovery_messages(const Config &c);

} // namespace gateway
