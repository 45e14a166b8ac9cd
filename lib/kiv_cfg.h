// Internals of the configuration service that carry weight of their own:
// the password code, the reading of the module's decimal values and the
// argument checks. All constexpr, so that the unit tests can also check
// them at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kiv::cfg {

// The module checks a login against the code made with this key; both
// builds carry the same one.
inline constexpr std::array<std::uint32_t, 4> password_key{0x3C5A7E19, 0x84D2F06B, 0x1E9B47C3,
                                                           0xA65D08F2};

inline constexpr std::size_t password_size = 8;
inline constexpr std::size_t password_code_size = 2 * password_size; // hex digits

// XTEA as published: 32 cycles of two half-rounds each.
inline constexpr std::uint32_t xtea_delta = 0x9E3779B9;
inline constexpr int xtea_cycles = 32;

constexpr void encipher(std::span<const std::uint32_t, 2> block, std::span<std::uint32_t, 2> out,
                        std::span<const std::uint32_t, 4> key)
{
    std::uint32_t v0 = block[0];
    std::uint32_t v1 = block[1];
    std::uint32_t sum = 0;
    for (int cycle = 0; cycle < xtea_cycles; ++cycle) {
        v0 += (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + key[sum & 3]);
        sum += xtea_delta;
        v1 += (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + key[(sum >> 11) & 3]);
    }
    out[0] = v0;
    out[1] = v1;
}

// The 8 password bytes as two big-endian words, enciphered with the
// library's key, back to 8 bytes in the same order.
constexpr void se_encipher(std::span<const unsigned char, password_size> in,
                           std::span<unsigned char, password_size> out)
{
    std::array<std::uint32_t, 2> block{};
    for (std::size_t i = 0; i < password_size; ++i)
        block[i / 4] = (block[i / 4] << 8) | in[i];
    std::array<std::uint32_t, 2> sealed{};
    encipher(block, sealed, password_key);
    for (std::size_t i = 0; i < password_size; ++i)
        out[i] = static_cast<unsigned char>(sealed[i / 4] >> (24 - 8 * (i % 4)));
}

// The login's password code: the enciphered bytes as 16 lower-case hex
// digits, then a NUL.
constexpr void makePassword(std::span<const unsigned char, password_size> password,
                            std::span<char, password_code_size + 1> code)
{
    constexpr std::string_view digits = "0123456789abcdef";
    std::array<unsigned char, password_size> sealed{};
    se_encipher(password, sealed);
    for (std::size_t i = 0; i < password_size; ++i) {
        code[2 * i] = digits[sealed[i] >> 4];
        code[2 * i + 1] = digits[sealed[i] & 0x0F];
    }
    code[password_code_size] = '\0';
}

// Reads a decimal number the way a 32-bit strtoul does, on every build:
// leading white space and one sign are taken, the digits end at the first
// other character, no digits give 0, a minus negates modulo 2^32, and a
// magnitude above 2^32 - 1 gives 2^32 - 1 whatever the sign. (A 64-bit
// unsigned long would read 4294967296 as 0 once cut to 32 bits.)
constexpr std::uint32_t read_u32(std::string_view text)
{
    constexpr std::uint64_t max = 0xFFFFFFFF;
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r')))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    std::uint64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[at] - '0');
        if (magnitude > max)
            return static_cast<std::uint32_t>(max);
    }
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

// The value of an answer that a write may be built on: the answer is
// exactly the prefix, one or more decimal digits whose number fits 32 bits,
// and CR LF. Anything else (a stray byte first, no digits, a sign, a line
// end still in flight, a second line) says no value: a read-modify-write on
// it would overwrite every other bit of the word.
constexpr bool stated_value(std::string_view answer, std::string_view prefix,
                            std::uint32_t &value)
{
    constexpr std::string_view line_end = "\r\n";
    if (!answer.starts_with(prefix) || !answer.ends_with(line_end) ||
        answer.size() < prefix.size() + 1 + line_end.size())
        return false;
    std::uint64_t number = 0;
    for (std::size_t at = prefix.size(); at < answer.size() - line_end.size(); ++at) {
        const char c = answer[at];
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
        if (number > 0xFFFFFFFF)
            return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

// The parameters are 32-bit words: a window of bits or channels must lie
// within bits 0 to 31, so that every shift stays defined.
inline constexpr int word_bits = 32;

constexpr bool window_fits(int first, int count)
{
    return first >= 0 && count >= 0 && count <= word_bits && first <= word_bits - count;
}

// The model entry points take 1-based channels: first and count 1..channels,
// the last channel first + count - 1 at most channels.
constexpr bool channels_fit(int first, int count, int channels)
{
    return first >= 1 && first <= channels && count >= 1 && count <= channels &&
           first + count <= channels + 1;
}

} // namespace kiv::cfg
