// The module's configuration parameters, as the configuration service reads
// and writes them by key.
//
// Every value is kept as the 32-bit pattern that the client wrote with "%d"
// and is reported back in the same signed decimal form, so that the echo of
// any value a client can write is the line it expects (a mask written as -1
// reads back as -1, all bits set). Only the bits that stand for a real
// channel or output act on the I/O side.
#pragma once

#include "model.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zrmsim {

struct Settings {
    std::int32_t u8_povp = 0;      // power-on value of the outputs, bit i = coil i
    std::int32_t ai_en = 255;      // 7301: bit n enables AI channel n (0-based)
    std::int32_t ai_pl = 0;        // 7301: bit n marks channel n unipolar
    std::array<std::int32_t, 8> ai_range{8, 8, 8, 8, 8, 8, 8, 8}; // base values
    std::int32_t tc_en = 7;        // 7303: bit n enables TC channel n

    bool operator==(const Settings &) const = default;
};

enum class SetResult { ok, unknown_key, bad_value, out_of_range };

// The keys that a model answers to, in the order a state file lists them.
std::vector<std::string> setting_keys(Model m);

std::optional<std::int32_t> get_setting(const Settings &s, Model m, std::string_view key);

// value is the decimal text of the request: an optional '-' and digits
// (leading zeros allowed) that fit a signed 32-bit int.
SetResult set_setting(Settings &s, Model m, std::string_view key, std::string_view value);

// Range code 0..10 of AI channel ch (0-based) from its base value and its
// polarity bit.
int range_code(const Settings &s, int ch);
// Stores code 0..10 as base value and polarity bit.
void set_range_code(Settings &s, int ch, int code);

bool bit_set(std::int32_t mask, int bit);

} // namespace zrmsim
