/*
 * kiv/records.hpp - the AI and TC channel records decoded into plain
 * structs. Part of kiv.hpp.
 */
#ifndef KIV_RECORDS_HPP
#define KIV_RECORDS_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kiv {

namespace detail {

// A two-byte field of a record, high byte first.
constexpr unsigned u16(const unsigned char *p) noexcept
{
    return static_cast<unsigned>(p[0]) << 8 | p[1];
}

} // namespace detail

// A value as the records carry it: sign, integer part, fractional part. Its
// text is what the examples print: integer 12 with fraction 5 reads "12.5",
// with fraction 50 "12.50"; the number is that text read as a decimal.
struct reading {
    bool negative = false;
    unsigned integer = 0;
    unsigned fraction = 0;

    std::string text() const
    {
        // In steps: GCC 12 optimising misjudges "-" + std::to_string(...)
        // as an overlapping copy (-Wrestrict), in the caller's build.
        std::string s = negative ? "-" : "";
        s += std::to_string(integer);
        s += '.';
        s += std::to_string(fraction);
        return s;
    }
    double number() const noexcept
    {
        double scale = 10.0;
        for (unsigned f = fraction; f >= 10; f /= 10)
            scale *= 10.0;
        double magnitude = static_cast<double>(integer) + static_cast<double>(fraction) / scale;
        return negative ? -magnitude : magnitude;
    }
    friend bool operator==(const reading &, const reading &) = default;
};

// One AI channel record (ZRM-7301), 6 bytes.
struct ai_channel {
    bool enabled = false;
    reading value;
    friend bool operator==(const ai_channel &, const ai_channel &) = default;
};

// Fault flags of a TC channel record, in the order the examples print them.
struct tc_fault_info {
    std::uint8_t bit;
    const char *name; // as the examples print it: "Open"
    const char *key;  // a short word for tools: "open"
};
inline constexpr std::array<tc_fault_info, 3> tc_faults{{
    {KIV_TC_FAULT_OPEN, "Open", "open"},
    {KIV_TC_FAULT_SHORT_GND, "Short to GND", "short-gnd"},
    {KIV_TC_FAULT_SHORT_VCC, "Short to VCC", "short-vcc"},
}};

// One TC channel record (ZRM-7303), 10 bytes.
struct tc_channel {
    bool enabled = false;
    reading temperature;
    reading reference;
    // The fault byte with bits 3..7, which carry nothing, cleared.
    std::uint8_t faults = 0;

    bool open() const noexcept { return faults & KIV_TC_FAULT_OPEN; }
    bool short_to_gnd() const noexcept { return faults & KIV_TC_FAULT_SHORT_GND; }
    bool short_to_vcc() const noexcept { return faults & KIV_TC_FAULT_SHORT_VCC; }
    friend bool operator==(const tc_channel &, const tc_channel &) = default;
};

// Decodes one AI record from the first 6 bytes; nothing when fewer are there.
inline std::optional<ai_channel> decode_ai(std::span<const unsigned char> record) noexcept
{
    if (record.size() < KIV_AI_RECORD_SIZE)
        return std::nullopt;
    const unsigned char *r = record.data();
    return ai_channel{r[KIV_AI_ENABLE] == 1,
                      {r[KIV_AI_SIGN] == 1, detail::u16(r + KIV_AI_INTEGER),
                       detail::u16(r + KIV_AI_FRACTION)}};
}

// Decodes one TC record from the first 10 bytes; nothing when fewer are there.
inline std::optional<tc_channel> decode_tc(std::span<const unsigned char> record) noexcept
{
    if (record.size() < KIV_TC_RECORD_SIZE)
        return std::nullopt;
    const unsigned char *r = record.data();
    return tc_channel{r[KIV_TC_ENABLE] == 1,
                      {r[KIV_TC_SIGN] == 1, detail::u16(r + KIV_TC_INTEGER),
                       detail::u16(r + KIV_TC_FRACTION)},
                      {r[KIV_TC_REF_SIGN] == 1, r[KIV_TC_REF_INTEGER], r[KIV_TC_REF_FRACTION]},
                      static_cast<std::uint8_t>(r[KIV_TC_FAULTS] & 0x07)};
}

// The whole records of a read, back to back; a partial last record, whose
// bytes were not all received, is left out.
inline std::vector<ai_channel> decode_ai_records(std::span<const unsigned char> data)
{
    std::vector<ai_channel> out;
    for (std::size_t at = 0; at + KIV_AI_RECORD_SIZE <= data.size(); at += KIV_AI_RECORD_SIZE)
        out.push_back(*decode_ai(data.subspan(at)));
    return out;
}

inline std::vector<tc_channel> decode_tc_records(std::span<const unsigned char> data)
{
    std::vector<tc_channel> out;
    for (std::size_t at = 0; at + KIV_TC_RECORD_SIZE <= data.size(); at += KIV_TC_RECORD_SIZE)
        out.push_back(*decode_tc(data.subspan(at)));
    return out;
}

} // namespace kiv

#endif
#endif /* KIV_RECORDS_HPP */
