// The password code of the login line: the password's first 8 bytes,
// zero-padded, as one XTEA block enciphered with the module key.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zrmsim {

// XTEA, 32 cycles, on a block of two words.
void xtea_encipher(std::array<std::uint32_t, 2> &v, const std::array<std::uint32_t, 4> &key);

// 16 lower-case hex digits, as the login line carries them.
std::string login_code(std::string_view password);

} // namespace zrmsim
