// What several example programs do and print alike.
#pragma once

#include "kiv.h"

#include <cstdio>

// KIV_Init, then KIV_Connect to the module's Modbus/TCP service. On a failure
// prints the failing call's line; the program then ends with -1.
inline bool init_and_connect(const char *address, int port, int timeout_ms, int &handle)
{
    int r = KIV_Init();
    if (r != KIV_OK) {
        std::printf("KIV_Init Error: %d.\r\n", r);
        return false;
    }
    r = KIV_Connect(address, port, timeout_ms, &handle);
    if (r != KIV_OK) {
        std::printf("KIV_Connect Error: %d.\r\n", r);
        return false;
    }
    return true;
}

// KIV_Init, then KIV_Cfg_Login without a password. On a failure prints the
// failing call's line; the program then ends with -1.
inline bool init_and_login(const char *address, int port, int timeout_ms, int &handle)
{
    int r = KIV_Init();
    if (r != KIV_OK) {
        std::printf("KIV_Init Error: %d.\r\n", r);
        return false;
    }
    r = KIV_Cfg_Login(address, port, timeout_ms, "", &handle);
    if (r != KIV_OK) {
        std::printf("KIV_Cfg_Login Error: %d.\r\n", r);
        return false;
    }
    return true;
}

// A numbered hex dump, per_line items a line, at most limit bytes.
inline void print_raw_dump(const unsigned char *data, int length, int per_line, int limit)
{
    for (int i = 0; i < length && i < limit; ++i) {
        std::printf("[%02d]:0x%02x,", i, data[i]);
        if ((i + 1) % per_line == 0 && i + 1 < length && i + 1 < limit)
            std::printf("\r\n");
    }
    std::printf("\r\n");
}

// One line per byte, at most limit bytes.
inline void print_byte_list(const unsigned char *data, int length, int limit)
{
    for (int i = 0; i < length && i < limit; ++i)
        std::printf("[%d]:0x%02x\r\n", i, data[i]);
}

// A value as the records carry it: sign, integer part, fractional digits.
inline void print_value(bool negative, unsigned integer, unsigned fraction)
{
    if (negative)
        std::printf("-");
    std::printf("%d.%d\r\n", static_cast<int>(integer), static_cast<int>(fraction));
}

// The module's answer text that a failed call left in the buffer, never
// read past the buffer even when no NUL ends it there.
inline void print_unknown_response(const unsigned char *data, int size)
{
    int n = 0;
    while (n < size && data[n] != 0)
        ++n;
    std::printf("unknown response: %.*s\r\n", n, reinterpret_cast<const char *>(data));
}
