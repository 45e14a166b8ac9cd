#include "settings.h"

#include <charconv>
#include <limits>

namespace zrmsim {

namespace {

constexpr std::string_view range_prefix = "ai_range_";

// Index 0..7 of an "ai_range_<n>" key, written without leading zeros.
std::optional<int> range_index(std::string_view key)
{
    if (key.size() != range_prefix.size() + 1 || key.substr(0, range_prefix.size()) != range_prefix)
        return std::nullopt;
    char c = key.back();
    if (c < '0' || c > '7')
        return std::nullopt;
    return c - '0';
}

std::optional<std::int32_t> parse_int32(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

bool is_base_value(std::int32_t v)
{
    return v >= 0 && v <= 10 && v % 2 == 0;
}

} // namespace

bool bit_set(std::int32_t mask, int bit)
{
    return ((static_cast<std::uint32_t>(mask) >> bit) & 1u) != 0;
}

std::vector<std::string> setting_keys(Model m)
{
    std::vector<std::string> keys{"u8_povp"};
    if (m == Model::zrm7301) {
        keys.emplace_back("ai_en");
        keys.emplace_back("ai_pl");
        for (int n = 0; n < 8; ++n)
            keys.push_back(std::string(range_prefix) + std::to_string(n));
    }
    if (m == Model::zrm7303)
        keys.emplace_back("tc_en");
    return keys;
}

std::optional<std::int32_t> get_setting(const Settings &s, Model m, std::string_view key)
{
    if (key == "u8_povp")
        return s.u8_povp;
    if (m == Model::zrm7301) {
        if (key == "ai_en")
            return s.ai_en;
        if (key == "ai_pl")
            return s.ai_pl;
        if (auto n = range_index(key))
            return s.ai_range[static_cast<std::size_t>(*n)];
    }
    if (m == Model::zrm7303 && key == "tc_en")
        return s.tc_en;
    return std::nullopt;
}

SetResult set_setting(Settings &s, Model m, std::string_view key, std::string_view value)
{
    if (!get_setting(s, m, key))
        return SetResult::unknown_key;
    auto v = parse_int32(value);
    if (!v)
        return SetResult::bad_value;
    if (key == "u8_povp") {
        // An 8-bit value: a pattern beyond it is refused rather than cut.
        if (*v < 0 || *v > 255)
            return SetResult::out_of_range;
        s.u8_povp = *v;
    } else if (key == "ai_en") {
        s.ai_en = *v;
    } else if (key == "ai_pl") {
        s.ai_pl = *v;
    } else if (key == "tc_en") {
        s.tc_en = *v;
    } else if (auto n = range_index(key)) {
        // The polarity lives in ai_pl; an odd or larger value names no range.
        if (!is_base_value(*v))
            return SetResult::out_of_range;
        s.ai_range[static_cast<std::size_t>(*n)] = *v;
    }
    return SetResult::ok;
}

int range_code(const Settings &s, int ch)
{
    int base = s.ai_range[static_cast<std::size_t>(ch)];
    if (base == 10)
        return 10;
    return base + (bit_set(s.ai_pl, ch) ? 1 : 0);
}

void set_range_code(Settings &s, int ch, int code)
{
    auto bit = static_cast<std::uint32_t>(1u << ch);
    auto pl = static_cast<std::uint32_t>(s.ai_pl);
    bool unipolar = code == 10 || code % 2 == 1;
    s.ai_range[static_cast<std::size_t>(ch)] = code == 10 ? 10 : code - code % 2;
    pl = unipolar ? (pl | bit) : (pl & ~bit);
    s.ai_pl = static_cast<std::int32_t>(pl);
}

} // namespace zrmsim
