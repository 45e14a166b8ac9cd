/*
 * kiv/zrm7302.hpp - kiv::zrm7302, the calls of a ZRM-7302: sixteen digital
 * inputs, eight digital outputs, a sensor block. Part of kiv.hpp.
 */
#ifndef KIV_ZRM7302_HPP
#define KIV_ZRM7302_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"
#include "connection.hpp"
#include "model_base.hpp"
#include "records.hpp"
#include "result.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kiv {

// ZRM-7302: sixteen digital inputs, eight digital outputs, a sensor block.
// The power-on value of outputs 1..8 ("u8_povp" bits 0..7) comes from the
// shared base.
class zrm7302 : public detail::model_base<8> {
public:
    static constexpr int di_channels = 16;
    static constexpr int sensor_registers = KIV_ZRM_7302_SENSOR_SIZE / 2;

    explicit zrm7302(int timeout_ms = default_reply_timeout_ms) noexcept : model_base(timeout_ms) {}

    // KIV_ZRM_7302_DI_Read: bit i is channel first+i; a reply without
    // exactly the bytes of count inputs is errc::response.
    result<std::uint16_t> read_di(const connection &c, std::uint8_t first = 1,
                                  std::uint8_t count = di_channels) const
    {
        return detail::bits_read([&](unsigned char *b, int size, int *len) {
            return KIV_ZRM_7302_DI_Read(c.handle(), timeout_, first, count, b, size, len);
        }, count);
    }
    // KIV_ZRM_7302_DO_Read: bit i is channel first+i; bits from count on are
    // cleared.
    result<std::uint8_t> read_do(const connection &c, std::uint8_t first = 1,
                                 std::uint8_t count = do_channels) const
    {
        unsigned char v = 0;
        int rc = KIV_ZRM_7302_DO_Read(c.handle(), timeout_, first, count, &v);
        if (rc == KIV_OK && count < 8)
            v = static_cast<unsigned char>(v & ((1u << count) - 1));
        return detail::byte_read(rc, v);
    }
    // KIV_ZRM_7302_DO_Write_bit: one output on or off.
    result<void> write_do(const connection &c, std::uint8_t channel, bool on) const
    {
        return detail::status(KIV_ZRM_7302_DO_Write_bit(c.handle(), timeout_, channel, on ? 1 : 0));
    }
    // KIV_ZRM_7302_DO_Write: bit i of mask drives channel first+i. Bits from
    // count on are dropped, so that a count of 1 switches by bit 0 as well
    // (the C call takes a single channel's value as a state, exactly 1 = on).
    result<void> write_do_mask(const connection &c, std::uint8_t first, std::uint8_t count,
                               std::uint8_t mask) const
    {
        unsigned m = count >= 8 ? mask : mask & ((1u << count) - 1);
        return detail::status(
            KIV_ZRM_7302_DO_Write(c.handle(), timeout_, first, count, static_cast<unsigned char>(m)));
    }
    // KIV_ZRM_7302_Sensor_Read: the bytes as they came.
    result<std::vector<unsigned char>> read_sensors_raw(const connection &c) const
    {
        return detail::bytes_read([&](unsigned char *b, int size, int *len) {
            return KIV_ZRM_7302_Sensor_Read(c.handle(), timeout_, b, size, len);
        });
    }
    // KIV_ZRM_7302_Sensor_Read as registers (high byte first); a reply
    // without all 24 registers is errc::response.
    result<std::vector<std::uint16_t>> read_sensors(const connection &c) const
    {
        auto raw = detail::exact_read(
            [&](unsigned char *b, int size, int *len) {
                return KIV_ZRM_7302_Sensor_Read(c.handle(), timeout_, b, size, len);
            },
            KIV_ZRM_7302_SENSOR_SIZE);
        if (!raw)
            return raw.why();
        std::vector<std::uint16_t> regs;
        for (std::size_t i = 0; i + 1 < raw->size(); i += 2)
            regs.push_back(static_cast<std::uint16_t>(detail::u16(raw->data() + i)));
        return regs;
    }
};

} // namespace kiv

#endif
#endif /* KIV_ZRM7302_HPP */
