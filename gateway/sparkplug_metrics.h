// The Sparkplug B metrics of a module: the same names and types on every
// gateway, so that a host can be set up once for a model.
#pragma once

#include "config.h"
#include "process_image.h"
#include "sparkplug_payload.h"

#include <vector>

namespace gateway {

// Every metric the module will ever send, in a fixed order (the order gives
// the aliases), with the values of this image and its time:
//   7301  ai/<n> Double in the channel's unit, do/<n> Boolean
//   7302  di/<n>, do/<n> Boolean, sensor/<n> UInt16
//   7303  tc/<n>/temperature, tc/<n>/reference Double in °C, tc/<n>/fault
//         String ("", "open", "short-gnd", "short-vcc"), di/<n>, do/<n>
// A value the JSON calls disabled or fault is null: a disabled channel's,
// and a faulted thermocouple's temperature. An AI channel whose range the
// module's declared settings give has the properties "range" and "engUnit".
std::vector<sparkplug::Metric> module_metrics(const ModuleConfig &m, const ProcessImage &p);

// The same metrics, known from the model alone (m.traits), all null and
// without timestamps: for a birth before the first poll, or the aliases.
std::vector<sparkplug::Metric> module_metrics(const ModuleConfig &m);

} // namespace gateway
