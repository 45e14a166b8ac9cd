// Arbitrary bytes as the module's reply to every Modbus exchange, with
// arbitrary start, quantity and buffer sizes. The generic exchanges are held
// to their whole contract (the request on the wire, the result, what is
// stored and what is left alone); the model entry points to the promises
// every call keeps: a known result code, nothing stored past the size, and
// nothing sent after a failed argument check.
//
// Input: op, start (4 bytes), quantity (4), size (small_or_any), mode, then
// for a coil write its data (size bytes), and the rest is the reply.
// mode bit 0: the module hangs up after its reply; bit 1: it sends none.
#include "fuzz_support.h"

#include <algorithm>
#include <cstring>

using namespace kivfuzz;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t min_reply = 9;

Bytes read_request(std::uint8_t fn, int start, int quantity)
{
    return {0, 0, 0, 0, 0, 6, 0, fn,
            static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start),
            static_cast<std::uint8_t>(quantity >> 8), static_cast<std::uint8_t>(quantity)};
}

Bytes joined(const std::vector<Bytes> &parts)
{
    Bytes all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The result an exchange must give for this reply when nothing in it is
// read: no reply, a hang-up, or a reply too short.
int empty_outcome(const Bytes &reply, bool hang_up)
{
    if (reply.empty())
        return hang_up ? KIV_ERR_DISCONNECTED : KIV_ERR_TIMEOUT;
    return KIV_ERR_RESPONSE;
}

void generic_read(int op, int start, int quantity, int size, const Bytes &reply, bool hang_up,
                  Pair &pair)
{
    static constexpr std::uint8_t fns[] = {0x01, 0x02, 0x03};
    const std::uint8_t fn = fns[op];
    const std::size_t frame = fn == 0x03 ? 256 : 32;
    Buffer buf(size);
    int len = -1;
    int rc = 0;
    switch (op) {
    case 0: rc = KIV_DO_Read(pair.handle, 0, start, quantity, buf.data(), size, &len); break;
    case 1: rc = KIV_DI_Read(pair.handle, 0, start, quantity, buf.data(), size, &len); break;
    default: rc = KIV_AI_Read(pair.handle, 0, start, quantity, buf.data(), size, &len); break;
    }
    const Bytes sent = joined(pair.sent());
    if (size < 1) {
        KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM && len == 0 && sent.empty());
        return;
    }
    KIV_FUZZ_CHECK(sent == read_request(fn, start, quantity));

    const std::size_t received = std::min(reply.size(), frame);
    std::size_t stored = 0;
    if (received < min_reply) {
        KIV_FUZZ_CHECK(rc == empty_outcome(reply, hang_up) && len == 0);
    } else if (reply[7] == (fn | 0x80)) {
        KIV_FUZZ_CHECK(rc == KIV_ERR_EXCEPTION && len == 1 && buf[0] == reply[8]);
        stored = 1;
    } else if (reply[7] != fn) {
        KIV_FUZZ_CHECK(rc == KIV_ERR_RESPONSE && len == 0);
    } else {
        stored = std::min({received - min_reply, std::size_t{reply[8]},
                           static_cast<std::size_t>(size)});
        KIV_FUZZ_CHECK(rc == KIV_OK && len == static_cast<int>(stored));
        KIV_FUZZ_CHECK(std::memcmp(buf.data(), reply.data() + min_reply, stored) == 0);
    }
    for (std::size_t i = stored; i < buf.size(); ++i)
        KIV_FUZZ_CHECK(buf[i] == 0xA5);
}

void generic_write(int start, int quantity, int len, Input &in, Pair &pair, bool hang_up,
                   bool silent)
{
    Buffer data(len);
    const Bytes values = in.bytes(data.size());
    std::copy(values.begin(), values.end(), data.data());
    Bytes original(data.data(), data.data() + data.size());
    Bytes reply = silent ? Bytes{} : in.rest();
    if (!reply.empty())
        pair.answer(reply);
    if (hang_up)
        pair.hang_up();

    const int rc = KIV_DO_Write(pair.handle, 0, start, quantity, data.data(), len);
    const Bytes sent = joined(pair.sent());
    if (quantity < 1 || len < 1 || len > 19) {
        KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM && sent.empty());
        return;
    }
    Bytes expected;
    if (quantity == 1) {
        expected = read_request(0x05, start, 0);
        expected[10] = original[0] == 1 ? 0xFF : 0x00;
    } else {
        expected = read_request(0x0F, start, quantity);
        expected[5] = static_cast<std::uint8_t>(7 + len);
        expected.push_back(static_cast<std::uint8_t>(len));
        expected.insert(expected.end(), original.begin(), original.end());
    }
    KIV_FUZZ_CHECK(sent == expected);

    const std::size_t received = std::min<std::size_t>(reply.size(), 32);
    if (received < min_reply) {
        KIV_FUZZ_CHECK(rc == empty_outcome(reply, hang_up));
    } else if (reply[7] == 0x85 || reply[7] == 0x8F) {
        KIV_FUZZ_CHECK(rc == KIV_ERR_EXCEPTION && data[0] == reply[8]);
        original[0] = reply[8];
    } else if (reply[7] == 0x05 || reply[7] == 0x0F) {
        KIV_FUZZ_CHECK(rc == KIV_OK);
    } else {
        KIV_FUZZ_CHECK(rc == KIV_ERR_RESPONSE);
    }
    KIV_FUZZ_CHECK(Bytes(data.data(), data.data() + data.size()) == original);
}

// The model entry points: channel arguments are bytes.
void model_call(int op, std::uint8_t first, std::uint8_t count, std::uint8_t value, int size,
                Pair &pair)
{
    Buffer buf(size);
    int len = -7;
    std::uint8_t out = 0x5A;
    int rc = 0;
    bool buffer_read = true;
    const int h = pair.handle;
    switch (op) {
    case 4: rc = KIV_ZRM_7301_DO_Read(h, 0, &out); buffer_read = false; break;
    case 5: rc = KIV_ZRM_7301_DO_Write(h, 0, value); buffer_read = false; break;
    case 6: rc = KIV_ZRM_7301_AI_Read(h, 0, first, count, buf.data(), size, &len); break;
    case 7: rc = KIV_ZRM_7302_DI_Read(h, 0, first, count, buf.data(), size, &len); break;
    case 8: rc = KIV_ZRM_7302_DO_Read(h, 0, first, count, &out); buffer_read = false; break;
    case 9: rc = KIV_ZRM_7302_DO_Write(h, 0, first, count, value); buffer_read = false; break;
    case 10: rc = KIV_ZRM_7302_DO_Write_bit(h, 0, first, value); buffer_read = false; break;
    case 11: rc = KIV_ZRM_7302_Sensor_Read(h, 0, buf.data(), size, &len); break;
    case 12: rc = KIV_ZRM_7303_DI_Read(h, 0, first, count, buf.data(), size, &len); break;
    case 13: rc = KIV_ZRM_7303_DO_Read(h, 0, &out); buffer_read = false; break;
    case 14: rc = KIV_ZRM_7303_DO_Write(h, 0, value); buffer_read = false; break;
    default: rc = KIV_ZRM_7303_TC_Read(h, 0, first, count, buf.data(), size, &len); break;
    }
    KIV_FUZZ_CHECK(is_result(rc));
    const Bytes sent = joined(pair.sent());
    // One request at most, and a well-formed one.
    KIV_FUZZ_CHECK(sent.empty() || sent.size() == 12 || sent.size() == 14);
    if (!sent.empty())
        KIV_FUZZ_CHECK(sent[5] == sent.size() - 6);
    if (rc == KIV_ERR_PARAM && sent.empty()) {
        // The argument check: the caller's buffer, length and byte untouched.
        if (buffer_read)
            KIV_FUZZ_CHECK(len == -7 || size < 1);
        KIV_FUZZ_CHECK(out == 0x5A);
        for (std::size_t i = 0; i < buf.size(); ++i)
            KIV_FUZZ_CHECK(buf[i] == 0xA5);
        return;
    }
    KIV_FUZZ_CHECK(!sent.empty());
    if (buffer_read) {
        KIV_FUZZ_CHECK(len >= 0 && len <= size);
        KIV_FUZZ_CHECK(rc == KIV_OK || len == (rc == KIV_ERR_EXCEPTION ? 1 : 0));
    }
    if (rc != KIV_OK)
        KIV_FUZZ_CHECK(out == 0x5A);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input in(data, size);
    const int op = in.u8() % 16;
    const int start = in.i32();
    const int quantity = in.i32();
    // Up to a little past the largest frame; below 1 as well.
    const int buf_size = std::clamp(in.small_or_any(), -8, 300);
    const std::uint8_t mode = in.u8();
    const bool hang_up = mode & 1;
    const bool silent = mode & 2;

    Pair pair(SOCK_STREAM);
    if (op == 3) {
        generic_write(start, quantity, buf_size, in, pair, hang_up, silent);
        return 0;
    }
    const Bytes reply = silent ? Bytes{} : in.rest();
    if (!reply.empty())
        pair.answer(reply);
    if (hang_up)
        pair.hang_up();
    if (op < 3)
        generic_read(op, start, quantity, buf_size, reply, hang_up, pair);
    else
        model_call(op, static_cast<std::uint8_t>(start), static_cast<std::uint8_t>(quantity),
                   static_cast<std::uint8_t>(start >> 8), buf_size, pair);
    return 0;
}
