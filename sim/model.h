// The three module models and the shape of each one's register map.
#pragma once

#include <optional>
#include <string_view>

namespace zrmsim {

enum class Model { zrm7301, zrm7302, zrm7303 };

struct ModelInfo {
    Model model;
    const char *name;          // "7301"
    int coils;                 // digital outputs, coils from address 0
    int discrete_inputs;       // digital inputs, from address 0
    int ai_channels;           // AI records of 3 registers
    int tc_channels;           // TC records of 5 registers
    int sensor_registers;      // plain registers from address 0
    int holding_start;         // first holding register of the map
    int holding_count;
};

const ModelInfo &model_info(Model m);
std::optional<Model> model_from_name(std::string_view name);

inline constexpr int ai_record_registers = 3;
inline constexpr int tc_record_registers = 5;

} // namespace zrmsim
