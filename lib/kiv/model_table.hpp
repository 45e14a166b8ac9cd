/*
 * kiv/model_table.hpp - what differs between the three models, in one
 * table, for programs that handle them alike. Part of kiv.hpp.
 */
#ifndef KIV_MODEL_TABLE_HPP
#define KIV_MODEL_TABLE_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"
#include "zrm7301.hpp"
#include "zrm7302.hpp"
#include "zrm7303.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kiv {

// What a read of a poll brings.
enum class poll_data : std::uint8_t { ai_records, tc_records, inputs, outputs, sensors };

// One Modbus read of a poll, as the model classes make it.
struct poll_read {
    poll_data what;
    std::uint8_t function;   // 0x01 coils, 0x02 discrete inputs, 0x03 holding registers
    std::uint16_t start;     // the first coil, input or register, 0-based
    std::uint16_t quantity;  // coils, inputs or registers
    std::uint16_t bytes;     // the data bytes that a whole reply carries
};

// What differs between the models, for programs that handle all three
// alike (a gateway, a tool). Output n (1-based) is coil n-1 on every model.
struct model_info {
    int number;              // 7301
    const char *name;        // "ZRM-7301"
    int ai;                  // analog inputs, with declared ranges and enables
    int tc;                  // thermocouple inputs, with enables
    int di;                  // digital inputs
    int outputs;             // digital outputs, with power-on values
    int sensors;             // sensor registers
    // The reads that make up one poll of the whole process image, in this
    // order; the poll's time is the arrival of the first one's reply.
    std::array<poll_read, 3> reads;
    std::size_t read_count;

    std::span<const poll_read> poll() const noexcept { return {reads.data(), read_count}; }
};

namespace detail {
constexpr std::uint16_t bit_bytes(int bits) noexcept
{
    return static_cast<std::uint16_t>((bits + 7) / 8);
}
constexpr std::uint16_t records_of(int channels, int record_size) noexcept
{
    return static_cast<std::uint16_t>(channels * record_size);
}
} // namespace detail

inline constexpr std::array<model_info, 3> models{{
    {7301, "ZRM-7301", zrm7301::ai_channels, 0, 0, zrm7301::do_channels, 0,
     {{{poll_data::ai_records, 0x03, 256, detail::records_of(zrm7301::ai_channels, KIV_AI_RECORD_SIZE / 2),
        detail::records_of(zrm7301::ai_channels, KIV_AI_RECORD_SIZE)},
       {poll_data::outputs, 0x01, 0, zrm7301::do_channels, detail::bit_bytes(zrm7301::do_channels)},
       {}}},
     2},
    {7302, "ZRM-7302", 0, 0, zrm7302::di_channels, zrm7302::do_channels, zrm7302::sensor_registers,
     {{{poll_data::inputs, 0x02, 0, zrm7302::di_channels, detail::bit_bytes(zrm7302::di_channels)},
       {poll_data::outputs, 0x01, 0, zrm7302::do_channels, detail::bit_bytes(zrm7302::do_channels)},
       {poll_data::sensors, 0x03, 0, zrm7302::sensor_registers, KIV_ZRM_7302_SENSOR_SIZE}}},
     3},
    {7303, "ZRM-7303", 0, zrm7303::tc_channels, zrm7303::di_channels, zrm7303::do_channels, 0,
     {{{poll_data::tc_records, 0x03, 512, detail::records_of(zrm7303::tc_channels, KIV_TC_RECORD_SIZE / 2),
        detail::records_of(zrm7303::tc_channels, KIV_TC_RECORD_SIZE)},
       {poll_data::inputs, 0x02, 0, zrm7303::di_channels, detail::bit_bytes(zrm7303::di_channels)},
       {poll_data::outputs, 0x01, 0, zrm7303::do_channels, detail::bit_bytes(zrm7303::do_channels)}}},
     3},
}};

// The model with this number (7301, 7302, 7303), or null.
constexpr const model_info *find_model(int number) noexcept
{
    for (const model_info &m : models)
        if (m.number == number)
            return &m;
    return nullptr;
}

} // namespace kiv

#endif
#endif /* KIV_MODEL_TABLE_HPP */
