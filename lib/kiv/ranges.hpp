/*
 * kiv/ranges.hpp - the range codes 0..10 of the analog inputs and their
 * labels. Part of kiv.hpp.
 */
#ifndef KIV_RANGES_HPP
#define KIV_RANGES_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kiv {

struct range_info {
    std::uint8_t code;
    const char *label; // as anin_setup prints it: "0~10V"
    const char *span;  // for people: "0..10 V"
};
inline constexpr std::array<range_info, 11> ranges{{
    {0, "-150~150MV", "-150..+150 mV"},
    {1, "0~150MV", "0..150 mV"},
    {2, "-500~500MV", "-500..+500 mV"},
    {3, "0~500MV", "0..500 mV"},
    {4, "-1~1V", "-1..+1 V"},
    {5, "0~1V", "0..1 V"},
    {6, "-5~5V", "-5..+5 V"},
    {7, "0~5V", "0..5 V"},
    {8, "-10~10V", "-10..+10 V"},
    {9, "0~10V", "0..10 V"},
    {10, "0~20MA", "0..20 mA"},
}};
inline constexpr int range_count = static_cast<int>(ranges.size());

// The label of a range code, or nothing for a code above 10.
constexpr std::optional<std::string_view> range_label(int code) noexcept
{
    if (code < 0 || code >= range_count)
        return std::nullopt;
    return ranges[static_cast<std::size_t>(code)].label;
}

// The code of a label, upper or lower case ("0~10V", "0~20mA").
constexpr std::optional<std::uint8_t> range_from_label(std::string_view label) noexcept
{
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    for (const range_info &r : ranges) {
        std::string_view l = r.label;
        if (l.size() != label.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < l.size() && same; ++i)
            same = upper(label[i]) == l[i];
        if (same)
            return r.code;
    }
    return std::nullopt;
}

} // namespace kiv

#endif
#endif /* KIV_RANGES_HPP */
