// Byte strings for scripts: written as hex ("00 06 FF") or as text lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kivtest {

using Bytes = std::vector<unsigned char>;

// "00 00 0a ff" -> bytes; spaces are optional separators.
Bytes hex(std::string_view text);
// Text taken byte for byte ("G:ai_en=\r\n").
Bytes text(std::string_view s);
// "00 0a ff", for failure messages.
std::string to_hex(const Bytes &b);
Bytes concat(const Bytes &a, const Bytes &b);

} // namespace kivtest
