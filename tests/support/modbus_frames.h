// Modbus/TCP frames as a test script writes them: the requests the library
// must send and the replies a module gives.
#pragma once

#include "bytes.h"

namespace kivtest {

// A 12-byte read request (function 1, 2 or 3), transaction identifier 0.
inline Bytes read_request(unsigned char fn, int start, int quantity)
{
    return {0, 0, 0, 0, 0, 6, 0, fn,
            static_cast<unsigned char>(start >> 8), static_cast<unsigned char>(start),
            static_cast<unsigned char>(quantity >> 8), static_cast<unsigned char>(quantity)};
}

// A read reply with the byte count given, which need not match the data.
inline Bytes read_reply(unsigned char fn, unsigned char count, const Bytes &data)
{
    Bytes r = {0, 0, 0, 0, 0, static_cast<unsigned char>(3 + data.size()), 0, fn, count};
    for (unsigned char b : data)
        r.push_back(b);
    return r;
}

// A read reply whose byte count is its data's length.
inline Bytes read_reply(unsigned char fn, const Bytes &data)
{
    return read_reply(fn, static_cast<unsigned char>(data.size()), data);
}

inline Bytes exception_reply(unsigned char fn, unsigned char code)
{
    return {0, 0, 0, 0, 0, 3, 0, static_cast<unsigned char>(fn | 0x80), code};
}

} // namespace kivtest
