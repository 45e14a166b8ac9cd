// Pieces shared by the model entry points: the channel check and the
// single-byte output exchanges.
#pragma once

#include "kiv.h"

#include <array>
#include <cstdint>

namespace kiv::model {

// Channels first..first+count-1 of a group of n, 1-based, on the unsigned
// 8-bit arguments with the sum formed in int.
constexpr bool channels_ok(unsigned char first, unsigned char count, int n)
{
    return first >= 1 && first <= n && count >= 1 && count <= n && first + count <= n + 1;
}

// Reads outputs into a scratch buffer of our own: the caller's byte changes
// only when the module sent a data byte, and an exception code is not
// handed on.
inline int read_outputs(int handle, int timeout, int start, int quantity, unsigned char *value)
{
    if (value == nullptr)
        return KIV_ERR_PARAM;
    std::array<unsigned char, 8> scratch{};
    int len = 0;
    const int rc = KIV_DO_Read(handle, timeout, start, quantity, scratch.data(),
                               static_cast<int>(scratch.size()), &len);
    if (rc == KIV_OK && len > 0)
        *value = scratch[0];
    return rc;
}

// One value byte: a state (1 on, else off) for one coil, a mask for several.
inline int write_outputs(int handle, int timeout, int start, int quantity, unsigned char value)
{
    unsigned char data = value;
    return KIV_DO_Write(handle, timeout, start, quantity, &data, 1);
}

} // namespace kiv::model
