// The Modbus register map of a model: the channel records, the sensor block,
// the digital inputs and the coils, kept in a libmodbus mapping.
#pragma once

#include "model.h"
#include "settings.h"
#include "values.h"

#include <modbus/modbus.h>

#include <cstdint>

namespace zrmsim {

// A mapping with the model's coils, discrete inputs and holding registers at
// their addresses; everything else is outside the map. nullptr if out of memory.
modbus_mapping_t *new_model_mapping(const ModelInfo &m);

// Writes every input of the map (records, sensor block, discrete inputs) as
// the module shows it at t, its live time (see live_time).
void fill_inputs(modbus_mapping_t *map, const ModelInfo &m, const Settings &s,
                 const FixedValues &fixed, double t);

// Outputs as a mask, bit i = coil i.
void set_outputs(modbus_mapping_t *map, const ModelInfo &m, unsigned mask);
unsigned outputs(const modbus_mapping_t *map, const ModelInfo &m);

// Records in register form. A disabled channel says so in its enable byte
// alone: the input is still measured, and its value stays in the record.
void encode_ai(const Reading &r, bool enabled, std::uint16_t out[ai_record_registers]);
void encode_tc(const TcReading &r, bool enabled, std::uint16_t out[tc_record_registers]);

} // namespace zrmsim
