/*
 * kiv/model_base.hpp - what the model classes share: the buffered reads
 * through an entry point, the power-on value of the outputs, and the one
 * base of the two models with an output and channel records. Part of
 * kiv.hpp.
 *
 * A model object holds the reply timeout of its calls; every method takes
 * the handle first, as the entry point does: a kiv::connection for process
 * data, a kiv::config_session for configuration. Channels are 1-based.
 */
#ifndef KIV_MODEL_BASE_HPP
#define KIV_MODEL_BASE_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"
#include "config_session.hpp"
#include "connection.hpp"
#include "result.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kiv {

namespace detail {

// A process-data read through a model entry point, into a buffer that holds
// every read of these models: call(buf, size, &len) gives the result code.
struct read_buffer {
    std::array<unsigned char, 64> buf{};
    int len = 0;
    int rc = KIV_OK;
};

template <class F> read_buffer read_into(F call)
{
    read_buffer r;
    r.rc = call(r.buf.data(), static_cast<int>(r.buf.size()), &r.len);
    return r;
}

// The bytes as they came.
template <class F> result<std::vector<unsigned char>> bytes_read(F call)
{
    const read_buffer r = read_into(call);
    if (r.rc != KIV_OK)
        return read_failure(r.rc, r.buf.data(), r.len);
    return std::vector<unsigned char>(r.buf.begin(), r.buf.begin() + r.len);
}

// The bytes of a read that must be exactly expected long: a reply that
// carries fewer (or more) bytes than the channels asked for is no value.
template <class F> result<std::vector<unsigned char>> exact_read(F call, std::size_t expected)
{
    auto r = bytes_read(call);
    if (r && r->size() != expected)
        return errc::response;
    return r;
}

// Packed inputs, channel first in bit 0 of the first byte, count of them.
template <class F> result<std::uint16_t> bits_read(F call, unsigned count)
{
    const read_buffer r = read_into(call);
    if (r.rc != KIV_OK)
        return read_failure(r.rc, r.buf.data(), r.len);
    if (static_cast<unsigned>(r.len) != (count + 7) / 8)
        return errc::response;
    unsigned v = 0;
    for (int i = 0; i < r.len && i < 2; ++i)
        v |= static_cast<unsigned>(r.buf[static_cast<std::size_t>(i)]) << (8 * i);
    return static_cast<std::uint16_t>(v);
}

// The single output of ZRM-7301 and ZRM-7303, bit 0 of the byte read.
inline result<bool> output_on(int rc, unsigned char value)
{
    if (rc != KIV_OK)
        return to_error_code(rc);
    return (value & 1) != 0;
}

inline result<std::uint8_t> byte_read(int rc, unsigned char value)
{
    if (rc != KIV_OK)
        return to_error_code(rc);
    return static_cast<std::uint8_t>(value);
}

// A configuration bit-window read through a model entry point.
template <class F> result<std::uint8_t> cfg_bits_read(F call)
{
    std::array<unsigned char, 257> buf{};
    int len = 0;
    int rc = call(buf.data(), static_cast<int>(buf.size()), &len);
    if (rc != KIV_OK)
        return answer_failure(rc, buf.data(), buf.size());
    return static_cast<std::uint8_t>(buf[0]);
}

// The power-on value ("u8_povp") of outputs 1..outputs, bit n-1 for output n:
// one parameter on every model, as wide as its outputs.
inline result<std::uint8_t> power_on_outputs_read(const config_session &s, int timeout, int outputs)
{
    return cfg_bits_read([&](unsigned char *b, int size, int *len) {
        return KIV_Cfg_Get_DO_PowerOnValue(s.handle(), timeout, 0, outputs, b, size, len);
    });
}

inline result<void> power_on_outputs_write(const config_session &s, int timeout, int outputs,
                                           unsigned mask)
{
    if (mask >> outputs)
        return errc::param;
    std::array<unsigned char, 257> buf{};
    int len = 0;
    int rc = KIV_Cfg_Set_DO_PowerOnValue(s.handle(), timeout, 0, outputs, static_cast<int>(mask),
                                         buf.data(), static_cast<int>(buf.size()), &len);
    if (rc != KIV_OK)
        return answer_failure(rc, buf.data(), buf.size());
    return {};
}

// What every model has: the reply timeout of its calls and the power-on
// value of its outputs.
template <int Outputs> class model_base {
public:
    static constexpr int do_channels = Outputs;

    int timeout() const noexcept { return timeout_; }

    // The power-on value of the outputs ("u8_povp" bit n-1 for output n).
    result<std::uint8_t> get_do_power_on(const config_session &s) const
    {
        return power_on_outputs_read(s, timeout_, Outputs);
    }
    result<void> set_do_power_on(const config_session &s, unsigned mask) const
    {
        return power_on_outputs_write(s, timeout_, Outputs, mask);
    }

protected:
    explicit model_base(int timeout_ms) noexcept : timeout_(timeout_ms) {}

    int timeout_;
};

// A model with one output and a block of channel records: ZRM-7301 (AI) and
// ZRM-7303 (TC) differ only in their entry points, their records and the
// names of their methods, which Calls gives: do_read, do_write, read (the
// records), decode (into a vector of Calls::record), record_size,
// get_enable and set_enable.
template <class Calls> class record_model : public model_base<1> {
public:
    // KIV_ZRM_730x_DO_Read: true when the output is on.
    result<bool> read_do(const connection &c) const
    {
        unsigned char v = 0;
        const int rc = Calls::do_read(c.handle(), timeout_, &v);
        return output_on(rc, v);
    }
    // KIV_ZRM_730x_DO_Write.
    result<void> write_do(const connection &c, bool on) const
    {
        return status(Calls::do_write(c.handle(), timeout_, on ? 1 : 0));
    }

protected:
    explicit record_model(int timeout_ms) noexcept : model_base<1>(timeout_ms) {}

    // The records as they came.
    result<std::vector<unsigned char>> records_raw(const connection &c, std::uint8_t first,
                                                   std::uint8_t count) const
    {
        return bytes_read([&](unsigned char *b, int size, int *len) {
            return Calls::read(c.handle(), timeout_, first, count, b, size, len);
        });
    }
    // Decoded, channel first at index 0. A reply without exactly count
    // records is errc::response, not a shorter list.
    result<std::vector<typename Calls::record>> records(const connection &c, std::uint8_t first,
                                                        std::uint8_t count) const
    {
        auto raw = exact_read(
            [&](unsigned char *b, int size, int *len) {
                return Calls::read(c.handle(), timeout_, first, count, b, size, len);
            },
            std::size_t{count} * Calls::record_size);
        if (!raw)
            return raw.why();
        return Calls::decode(*raw);
    }
    // Bit i is channel first+i (1 = enabled).
    result<std::uint8_t> enable(const config_session &s, int first, int count) const
    {
        return cfg_bits_read([&](unsigned char *b, int size, int *len) {
            return Calls::get_enable(s.handle(), timeout_, first, count, b, size, len);
        });
    }
    result<void> set_enable(const config_session &s, int first, int count, unsigned mask) const
    {
        return status(Calls::set_enable(s.handle(), timeout_, first, count, static_cast<int>(mask)));
    }
};

} // namespace detail

} // namespace kiv

#endif
#endif /* KIV_MODEL_BASE_HPP */
