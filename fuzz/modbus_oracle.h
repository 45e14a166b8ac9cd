// What kiv.h promises for a Modbus call, as the fuzz targets check it: the
// request frame a generic exchange or a model entry point must send (the
// register map, the channel check), and the outcome of the reply that its
// one receive took.
#pragma once

#include "fuzz_support.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kivfuzz::mb {

// A reply reaches past its function code and count (or exception code).
inline constexpr std::size_t min_reply = 9;
// One receive takes at most a whole frame: 9 + 23 data bytes for the coil
// and input exchanges, 9 + 247 for the register read.
inline constexpr std::size_t bit_frame = 32;
inline constexpr std::size_t register_frame = 256;

inline constexpr std::uint8_t read_coils = 0x01;
inline constexpr std::uint8_t read_inputs = 0x02;
inline constexpr std::uint8_t read_registers = 0x03;

inline int get_u16(const Bytes &frame, std::size_t at)
{
    return (frame[at] << 8) | frame[at + 1];
}

inline Bytes request(std::uint8_t fn, int start, int quantity)
{
    return {0, 0, 0, 0, 0, 6, 0, fn,
            static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start),
            static_cast<std::uint8_t>(quantity >> 8), static_cast<std::uint8_t>(quantity)};
}

// Write single coil for one coil (ON only for exactly 1), else write
// multiple coils with the caller's bytes and their count.
inline Bytes write_request(int start, int quantity, const Bytes &data)
{
    if (quantity == 1) {
        Bytes r = request(0x05, start, 0);
        r[10] = data[0] == 1 ? 0xFF : 0x00;
        return r;
    }
    Bytes r = request(0x0F, start, quantity);
    r[5] = static_cast<std::uint8_t>(7 + data.size());
    r.push_back(static_cast<std::uint8_t>(data.size()));
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

// The outcome of a read for the reply its receive took (not empty): the
// result and the data bytes stored.
struct ReadOutcome {
    int rc;
    Bytes stored;
};

inline ReadOutcome judge_read(std::uint8_t fn, const Bytes &reply, std::size_t size)
{
    if (reply.size() < min_reply)
        return {KIV_ERR_RESPONSE, {}};
    if (reply[7] == (fn | 0x80))
        return {KIV_ERR_EXCEPTION, {reply[8]}};
    if (reply[7] != fn)
        return {KIV_ERR_RESPONSE, {}};
    const std::size_t n = std::min({reply.size() - min_reply, std::size_t{reply[8]}, size});
    const auto data = reply.begin() + min_reply;
    return {KIV_OK, Bytes(data, data + static_cast<long>(n))};
}

// The result of a coil write for the reply its receive took (not empty).
inline int judge_write(const Bytes &reply)
{
    if (reply.size() < min_reply)
        return KIV_ERR_RESPONSE;
    if (reply[7] == 0x85 || reply[7] == 0x8F)
        return KIV_ERR_EXCEPTION;
    return reply[7] == 0x05 || reply[7] == 0x0F ? KIV_OK : KIV_ERR_RESPONSE;
}

// The model entry points, by number.
enum Model : int {
    m7301_do_read, m7301_do_write, m7301_ai_read,
    m7302_di_read, m7302_do_read, m7302_do_write, m7302_do_write_bit, m7302_sensor_read,
    m7303_di_read, m7303_do_read, m7303_do_write, m7303_tc_read,
    model_count
};

// A model call's channel arguments and buffers. buf/len for the buffer
// reads, out for the output reads.
struct ModelCall {
    int op = 0;
    std::uint8_t first = 0, count = 0, value = 0;
    int size = 0;
};

enum class Kind { buffer_read, output_read, write };

inline Kind kind_of(int op)
{
    switch (op) {
    case m7301_do_read: case m7302_do_read: case m7303_do_read: return Kind::output_read;
    case m7301_do_write: case m7302_do_write: case m7302_do_write_bit: case m7303_do_write:
        return Kind::write;
    default: return Kind::buffer_read;
    }
}

// The channel check of kiv.h: first 1..n, count 1..n, last channel at most n.
inline bool channels_ok(int first, int count, int n)
{
    return first >= 1 && first <= n && count >= 1 && count <= n && first + count - 1 <= n;
}

// The frame the model entry point sends, from kiv.h's register map, or
// nothing when its channel check fails.
inline std::optional<Bytes> model_request(const ModelCall &c)
{
    const int f = c.first;
    const int n = c.count;
    const Bytes value{c.value};
    switch (c.op) {
    case m7301_do_read: case m7303_do_read: return request(read_coils, 0, 1);
    case m7301_do_write: case m7303_do_write: return write_request(0, 1, value);
    case m7301_ai_read:
        if (!channels_ok(f, n, 8)) return std::nullopt;
        return request(read_registers, 256 + 3 * (f - 1), 3 * n);
    case m7302_di_read:
        if (!channels_ok(f, n, 16)) return std::nullopt;
        return request(read_inputs, f - 1, n);
    case m7302_do_read:
        if (!channels_ok(f, n, 8)) return std::nullopt;
        return request(read_coils, f - 1, n);
    case m7302_do_write:
        if (!channels_ok(f, n, 8)) return std::nullopt;
        return write_request(f - 1, n, value);
    case m7302_do_write_bit:
        if (!channels_ok(f, 1, 8)) return std::nullopt;
        return write_request(f - 1, 1, value);
    case m7302_sensor_read: return request(read_registers, 0, 24);
    case m7303_di_read:
        if (!channels_ok(f, n, 2)) return std::nullopt;
        return request(read_inputs, f - 1, n);
    default:
        if (!channels_ok(f, n, 3)) return std::nullopt;
        return request(read_registers, 512 + 5 * (f - 1), 5 * n);
    }
}

// What a model call gave back: the caller's buffer (filled with 0xA5), its
// count (-7 before the call) and output byte (0x5A before the call).
struct ModelResult {
    int rc = 0;
    Buffer buf;
    int len = -7;
    std::uint8_t out = 0x5A;
    explicit ModelResult(int size) : buf(size) {}
};

inline void call_model(const ModelCall &c, int handle, int timeout, ModelResult &r)
{
    const int h = handle;
    const int t = timeout;
    std::uint8_t *b = r.buf.data();
    switch (c.op) {
    case m7301_do_read: r.rc = KIV_ZRM_7301_DO_Read(h, t, &r.out); break;
    case m7301_do_write: r.rc = KIV_ZRM_7301_DO_Write(h, t, c.value); break;
    case m7301_ai_read:
        r.rc = KIV_ZRM_7301_AI_Read(h, t, c.first, c.count, b, c.size, &r.len);
        break;
    case m7302_di_read:
        r.rc = KIV_ZRM_7302_DI_Read(h, t, c.first, c.count, b, c.size, &r.len);
        break;
    case m7302_do_read: r.rc = KIV_ZRM_7302_DO_Read(h, t, c.first, c.count, &r.out); break;
    case m7302_do_write: r.rc = KIV_ZRM_7302_DO_Write(h, t, c.first, c.count, c.value); break;
    case m7302_do_write_bit: r.rc = KIV_ZRM_7302_DO_Write_bit(h, t, c.first, c.value); break;
    case m7302_sensor_read: r.rc = KIV_ZRM_7302_Sensor_Read(h, t, b, c.size, &r.len); break;
    case m7303_di_read:
        r.rc = KIV_ZRM_7303_DI_Read(h, t, c.first, c.count, b, c.size, &r.len);
        break;
    case m7303_do_read: r.rc = KIV_ZRM_7303_DO_Read(h, t, &r.out); break;
    case m7303_do_write: r.rc = KIV_ZRM_7303_DO_Write(h, t, c.value); break;
    default: r.rc = KIV_ZRM_7303_TC_Read(h, t, c.first, c.count, b, c.size, &r.len); break;
    }
}

// The checks below take: sent, what reached the module (empty when the send
// failed or could not be seen); reply, what the call's one receive took
// (empty: none); no_reply(rc), whether rc is a result allowed when nothing
// was taken.

// A read into the caller's buffer (0xA5 before the call), after the request
// went out: the data stored is the reply's, from its byte 9 on, and no more
// than the reply holds, announces or the size allows.
template <typename NoReply>
void check_read_result(std::uint8_t fn, int size, int rc, int len, const Buffer &buf,
                       const Bytes &reply, NoReply no_reply)
{
    if (reply.empty()) {
        KIV_FUZZ_CHECK(no_reply(rc) && len == 0 && untouched(buf));
        return;
    }
    const ReadOutcome o = judge_read(fn, reply, static_cast<std::size_t>(size));
    KIV_FUZZ_CHECK(rc == o.rc);
    KIV_FUZZ_CHECK(len == static_cast<int>(o.stored.size()));
    KIV_FUZZ_CHECK(std::equal(o.stored.begin(), o.stored.end(), buf.data()));
    KIV_FUZZ_CHECK(untouched(buf, o.stored.size()));
}

template <typename NoReply>
void check_read(std::uint8_t fn, int start, int quantity, int size, int rc, int len,
                const Buffer &buf, const Bytes &sent, const Bytes &reply, NoReply no_reply)
{
    KIV_FUZZ_CHECK(is_result(rc));
    if (size < 1) {
        KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM && len == 0 && sent.empty() && untouched(buf));
        return;
    }
    if (!sent.empty())
        KIV_FUZZ_CHECK(sent == request(fn, start, quantity));
    else
        KIV_FUZZ_CHECK(reply.empty());
    check_read_result(fn, size, rc, len, buf, reply, no_reply);
}

// A coil write; original, the caller's bytes before the call. Only an
// exception code changes them (data[0]).
template <typename NoReply>
void check_write(int start, int quantity, const Bytes &original, int rc, const Buffer &data,
                 const Bytes &sent, const Bytes &reply, NoReply no_reply)
{
    KIV_FUZZ_CHECK(is_result(rc));
    const Bytes after(data.data(), data.data() + data.size());
    if (quantity < 1 || original.size() < 1 || original.size() > 19) {
        KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM && sent.empty() && after == original);
        return;
    }
    if (!sent.empty())
        KIV_FUZZ_CHECK(sent == write_request(start, quantity, original));
    else
        KIV_FUZZ_CHECK(reply.empty());
    Bytes expected = original;
    if (reply.empty()) {
        KIV_FUZZ_CHECK(no_reply(rc));
    } else {
        KIV_FUZZ_CHECK(rc == judge_write(reply));
        if (rc == KIV_ERR_EXCEPTION)
            expected[0] = reply[8];
    }
    KIV_FUZZ_CHECK(after == expected);
}

template <typename NoReply>
void check_model(const ModelCall &c, const ModelResult &r, const Bytes &sent, const Bytes &reply,
                 NoReply no_reply)
{
    KIV_FUZZ_CHECK(is_result(r.rc));
    const auto expected = model_request(c);
    const Kind kind = kind_of(c.op);
    if (!expected) {
        // The channel check: nothing sent, nothing of the caller's changed.
        KIV_FUZZ_CHECK(r.rc == KIV_ERR_PARAM && sent.empty());
        KIV_FUZZ_CHECK(r.len == -7 && r.out == 0x5A && untouched(r.buf));
        return;
    }
    if (kind == Kind::buffer_read) {
        check_read((*expected)[7], get_u16(*expected, 8), get_u16(*expected, 10), c.size, r.rc,
                   r.len, r.buf, sent, reply, no_reply);
        KIV_FUZZ_CHECK(r.out == 0x5A);
        return;
    }
    if (!sent.empty())
        KIV_FUZZ_CHECK(sent == *expected);
    else
        KIV_FUZZ_CHECK(reply.empty());
    KIV_FUZZ_CHECK(r.len == -7 && untouched(r.buf));
    if (reply.empty()) {
        KIV_FUZZ_CHECK(no_reply(r.rc) && r.out == 0x5A);
    } else if (kind == Kind::write) {
        KIV_FUZZ_CHECK(r.rc == judge_write(reply) && r.out == 0x5A);
    } else {
        // The output byte changes only on KIV_OK with a data byte; an
        // exception code is not handed on.
        const ReadOutcome o = judge_read((*expected)[7], reply, 8);
        KIV_FUZZ_CHECK(r.rc == o.rc);
        KIV_FUZZ_CHECK(r.out == (o.rc == KIV_OK && !o.stored.empty() ? o.stored[0] : 0x5A));
    }
}

} // namespace kivfuzz::mb
