// A module's whole process image, as one poll read it.
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

} // namespace gateway
