// Arbitrary bytes as the module's reply to every Modbus exchange, with
// arbitrary start, quantity and buffer sizes. Every call, generic or model
// entry point, is held to its whole contract (modbus_oracle.h): the request
// on the wire (for the model entry points the register map and the channel
// check), the result, what is stored and what is left alone, judged on the
// bytes its receive took from the queued reply.
//
// Input: op, start (4 bytes), quantity (4), size (small_or_any), mode, then
// for a coil write its data (size bytes), and the rest is the reply.
// mode bit 0: the module hangs up after its reply; bit 1: it sends none.
#include "modbus_oracle.h"

#include <algorithm>

using namespace kivfuzz;

namespace {

// The part of the queued reply that the call's receive took, measured on
// the socket; the rest stays for a next exchange.
Bytes taken(const Bytes &reply, const Pair &pair, std::size_t frame)
{
    const std::size_t n = reply.size() - queued(pair.handle);
    KIV_FUZZ_CHECK(n <= frame);
    return Bytes(reply.begin(), reply.begin() + static_cast<long>(n));
}

void generic_read(int op, int start, int quantity, int size, const Bytes &reply, bool hang_up,
                  Pair &pair)
{
    static constexpr std::uint8_t fns[] = {mb::read_coils, mb::read_inputs, mb::read_registers};
    const std::uint8_t fn = fns[op];
    Buffer buf(size);
    int len = -1;
    int rc = 0;
    switch (op) {
    case 0: rc = KIV_DO_Read(pair.handle, 0, start, quantity, buf.data(), size, &len); break;
    case 1: rc = KIV_DI_Read(pair.handle, 0, start, quantity, buf.data(), size, &len); break;
    default: rc = KIV_AI_Read(pair.handle, 0, start, quantity, buf.data(), size, &len); break;
    }
    const Bytes sent = joined(pair.sent());
    // The socket pair takes every request: only a refused argument sends none.
    KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM || !sent.empty());
    const std::size_t frame = fn == mb::read_registers ? mb::register_frame : mb::bit_frame;
    const Bytes took = taken(reply, pair, frame);
    mb::check_read(fn, start, quantity, size, rc, len, buf, sent, took, [&](int r) {
        return r == (hang_up ? KIV_ERR_DISCONNECTED : KIV_ERR_TIMEOUT);
    });
}

void generic_write(int start, int quantity, int len, Input &in, Pair &pair, bool hang_up,
                   bool silent)
{
    Buffer data(len);
    const Bytes values = in.bytes(data.size());
    std::copy(values.begin(), values.end(), data.data());
    const Bytes original(data.data(), data.data() + data.size());
    const Bytes reply = silent ? Bytes{} : in.rest();
    if (!reply.empty())
        pair.answer(reply);
    if (hang_up)
        pair.hang_up();

    const int rc = KIV_DO_Write(pair.handle, 0, start, quantity, data.data(), len);
    const Bytes sent = joined(pair.sent());
    KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM || !sent.empty());
    mb::check_write(start, quantity, original, rc, data, sent, taken(reply, pair, mb::bit_frame),
                    [&](int r) { return r == (hang_up ? KIV_ERR_DISCONNECTED : KIV_ERR_TIMEOUT); });
}

void model_call(const mb::ModelCall &c, const Bytes &reply, bool hang_up, Pair &pair)
{
    mb::ModelResult r(c.size);
    mb::call_model(c, pair.handle, 0, r);
    const Bytes sent = joined(pair.sent());
    KIV_FUZZ_CHECK(r.rc == KIV_ERR_PARAM || !sent.empty());
    const auto request = mb::model_request(c);
    const bool registers = request && (*request)[7] == mb::read_registers;
    const Bytes took = taken(reply, pair, registers ? mb::register_frame : mb::bit_frame);
    mb::check_model(c, r, sent, took, [&](int rc) {
        return rc == (hang_up ? KIV_ERR_DISCONNECTED : KIV_ERR_TIMEOUT);
    });
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
        model_call({op - 4, static_cast<std::uint8_t>(start), static_cast<std::uint8_t>(quantity),
                    static_cast<std::uint8_t>(start >> 8), buf_size},
                   reply, hang_up, pair);
    return 0;
}
