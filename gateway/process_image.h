// One poll of a module: its model's whole process image, read through a
// kiv::client, all or nothing.
#pragma once

#include "kiv.hpp"

#include <chrono>
#include <cstdint>
#include <vector>

namespace gateway {

struct ProcessImage {
    int model = 0;
    // When the reply of the poll's first read arrived.
    std::chrono::system_clock::time_point time;
    std::vector<kiv::ai_channel> ai;     // 7301
    std::vector<kiv::tc_channel> tc;     // 7303
    std::vector<bool> di;                // 7302, 7303
    std::vector<bool> outputs;           // all models
    std::vector<std::uint16_t> sensors;  // 7302
};

class ModuleMetrics;

// Reads every channel of the model; the first failed exchange ends the poll
// and is returned (the client has then closed its connection, unless the
// failure left it in step). Each connect and exchange is recorded in
// metrics unless it is null.
kiv::result<ProcessImage> read_process_image(kiv::client &c, int model, int timeout_ms,
                                             ModuleMetrics *metrics = nullptr);

// How many exchanges one poll of the model takes.
int exchanges_per_poll(int model);

} // namespace gateway
