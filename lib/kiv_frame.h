// Building Modbus/TCP requests and judging their replies, byte for byte.
// Header-only so that the library's blocking exchanges and the gateway's
// non-blocking ones share one definition of the protocol; only how they
// wait for the bytes differs. Nothing here sends, receives or allocates.
#pragma once

#include "kiv.h"
#include "kiv_wire.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace kiv::mb {

inline void put_header(std::span<unsigned char> frame, std::size_t frame_size, Function fn,
                       std::uint16_t transaction)
{
    put_u16(frame, off_transaction, transaction);
    put_u16(frame, off_protocol, 0);
    put_u16(frame, off_length, static_cast<std::uint16_t>(frame_size - length_field_end));
    frame[off_unit] = 0;
    frame[off_function] = code(fn);
}

inline std::size_t build_read_request(std::span<unsigned char> frame, Function fn, int start, int quantity,
                                      std::uint16_t transaction = 0)
{
    put_header(frame, request_size, fn, transaction);
    put_u16(frame, off_address, low16(start));
    put_u16(frame, off_quantity, low16(quantity));
    return request_size;
}

inline std::size_t build_write_single(std::span<unsigned char> frame, int start, unsigned char value,
                                      std::uint16_t transaction = 0)
{
    put_header(frame, request_size, Function::write_single_coil, transaction);
    put_u16(frame, off_address, low16(start));
    put_u16(frame, off_quantity, value == 1 ? coil_on : coil_off);
    return request_size;
}

inline std::size_t build_write_multiple(std::span<unsigned char> frame, int start, int quantity,
                                        std::span<const unsigned char> data, std::uint16_t transaction = 0)
{
    const std::size_t size = off_write_data + data.size();
    put_header(frame, size, Function::write_multiple_coils, transaction);
    put_u16(frame, off_address, low16(start));
    put_u16(frame, off_quantity, low16(quantity));
    frame[off_byte_count] = static_cast<unsigned char>(data.size());
    for (std::size_t i = 0; i < data.size(); ++i)
        frame[off_write_data + i] = data[i];
    return size;
}

// The largest frame Modbus/TCP allows: the MBAP header and a PDU of 253
// bytes.
inline constexpr std::size_t max_frame_size = 260;
// The smallest length field that a reply can carry: the unit and a function.
inline constexpr std::size_t min_length_field = 2;

// How long the frame that starts at head is, from its MBAP length field:
// 0 while fewer than the header's bytes are there, and max_frame_size + 1
// for a length that no frame can have (the stream cannot be framed).
inline std::size_t frame_size(std::span<const unsigned char> head)
{
    if (head.size() < length_field_end)
        return 0;
    const std::size_t length = get_u16(head, off_length);
    if (length < min_length_field || length_field_end + length > max_frame_size)
        return max_frame_size + 1;
    return length_field_end + length;
}

inline std::uint16_t transaction_of(std::span<const unsigned char> frame)
{
    return get_u16(frame, off_transaction);
}

// A reply as judged: KIV_OK with its data (no more than it received and no
// more than its byte count announces), KIV_ERR_EXCEPTION with the module's
// exception code, or KIV_ERR_RESPONSE.
struct Judged {
    int code = KIV_ERR_RESPONSE;
    std::span<const unsigned char> data{};
    unsigned char exception = 0;
};

inline Judged judge_read_reply(std::span<const unsigned char> reply, Function fn)
{
    if (reply.size() < min_reply_size)
        return {};
    const unsigned char function = reply[off_reply_function];
    if (function == exception_code(fn))
        return {KIV_ERR_EXCEPTION, {}, reply[off_reply_exception]};
    if (function != code(fn))
        return {};
    auto data = reply.subspan(off_reply_data);
    const std::size_t announced = reply[off_reply_count];
    if (data.size() > announced)
        data = data.first(announced);
    return {KIV_OK, data, 0};
}

// Either write function's reply is taken, whichever was sent.
inline Judged judge_write_reply(std::span<const unsigned char> reply)
{
    if (reply.size() < min_reply_size)
        return {};
    const unsigned char function = reply[off_reply_function];
    if (function == exception_code(Function::write_single_coil) ||
        function == exception_code(Function::write_multiple_coils))
        return {KIV_ERR_EXCEPTION, {}, reply[off_reply_exception]};
    if (function == code(Function::write_single_coil) || function == code(Function::write_multiple_coils))
        return {KIV_OK, {}, 0};
    return {};
}

} // namespace kiv::mb
