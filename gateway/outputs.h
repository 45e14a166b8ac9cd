// Switching one output of a module and reading back what it shows, for the
// commands that come over MQTT.
#pragma once

#include "kiv.hpp"

namespace gateway {

// Writes output channel (1-based) on or off through the client, then reads
// it back: the state the module shows after the write.
kiv::result<bool> switch_output(kiv::client &c, int model, int timeout_ms, int channel, bool on);

} // namespace gateway
