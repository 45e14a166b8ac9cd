// Modbus/TCP frame layout as the library writes and reads it. The builders
// and the parsers both take every offset, code and size from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kiv::mb {

enum class Function : std::uint8_t {
    read_coils = 0x01,
    read_discrete_inputs = 0x02,
    read_holding_registers = 0x03,
    write_single_coil = 0x05,
    write_multiple_coils = 0x0F,
};

// An exception reply carries the function code with its top bit set.
inline constexpr std::uint8_t exception_flag = 0x80;

constexpr std::uint8_t code(Function f) { return static_cast<std::uint8_t>(f); }
constexpr std::uint8_t exception_code(Function f) { return code(f) | exception_flag; }

// MBAP header (7 bytes) and PDU offsets, request side.
inline constexpr std::size_t off_transaction = 0;
inline constexpr std::size_t off_protocol = 2;
inline constexpr std::size_t off_length = 4;
inline constexpr std::size_t off_unit = 6;
inline constexpr std::size_t off_function = 7;
inline constexpr std::size_t off_address = 8;
inline constexpr std::size_t off_quantity = 10; // or the single coil's value
inline constexpr std::size_t off_byte_count = 12;
inline constexpr std::size_t off_write_data = 13;

// The length field counts what follows it: the unit identifier and the PDU.
inline constexpr std::size_t length_field_end = off_unit;

// Reply side: the function code, then a byte count (normal read reply) or
// the exception code, then the data.
inline constexpr std::size_t off_reply_function = 7;
inline constexpr std::size_t off_reply_count = 8;
inline constexpr std::size_t off_reply_exception = 8;
inline constexpr std::size_t off_reply_data = 9;
// A reply must reach past the byte holding the count or exception code.
inline constexpr std::size_t min_reply_size = off_reply_data;

inline constexpr std::size_t request_size = 12; // reads and write single coil

inline constexpr std::uint16_t coil_on = 0xFF00;
inline constexpr std::uint16_t coil_off = 0x0000;

// One local buffer holds the request and then receives the reply; its size
// is also what one receive asks for.
inline constexpr std::size_t bit_frame_size = 32;       // coils, inputs, writes
inline constexpr std::size_t register_frame_size = 256; // holding registers
inline constexpr std::size_t max_write_data = bit_frame_size - off_write_data; // 19

inline void put_u16(std::span<unsigned char> frame, std::size_t at, std::uint16_t v)
{
    frame[at] = static_cast<unsigned char>(v >> 8);
    frame[at + 1] = static_cast<unsigned char>(v & 0xFF);
}

inline std::uint16_t get_u16(std::span<const unsigned char> frame, std::size_t at)
{
    return static_cast<std::uint16_t>((frame[at] << 8) | frame[at + 1]);
}

// Address and quantity arguments travel as their low 16 bits.
constexpr std::uint16_t low16(int v) { return static_cast<std::uint16_t>(v & 0xFFFF); }

} // namespace kiv::mb
