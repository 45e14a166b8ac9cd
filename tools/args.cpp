#include "args.h"

#include "kiv.hpp"

#include <charconv>

namespace kivtool {

std::optional<unsigned long> parse_unsigned(std::string_view text, unsigned long max)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
        base = 2;
        text.remove_prefix(2);
    }
    if (text.empty() || text[0] == '+' || text[0] == '-')
        return std::nullopt;
    unsigned long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size() || v > max)
        return std::nullopt;
    return v;
}

namespace {

std::string range_of(int n, std::string_view group, const ModelInfo &m)
{
    return std::string(m.name) + " has " + std::string(group) +
           (n == 1 ? " channel 1" : " channels 1.." + std::to_string(n));
}

} // namespace

std::string parse_channel(std::string_view text, int n, std::string_view group,
                          const ModelInfo &m, int &out)
{
    auto v = parse_unsigned(text, 255);
    if (!v || *v < 1 || static_cast<int>(*v) > n)
        return "channel " + std::string(text) + " is out of range: " + range_of(n, group, m);
    out = static_cast<int>(*v);
    return {};
}

std::string parse_window(const std::vector<std::string> &args, std::size_t pos, int n,
                         std::string_view group, const ModelInfo &m, Window &out)
{
    Window w;
    if (pos < args.size()) {
        if (auto e = parse_channel(args[pos], n, group, m, w.first); !e.empty())
            return e;
    }
    w.count = n - w.first + 1;
    if (pos + 1 < args.size()) {
        auto c = parse_unsigned(args[pos + 1], 255);
        if (!c || *c < 1 || w.first + static_cast<int>(*c) - 1 > n)
            return "count " + args[pos + 1] + " from channel " + std::to_string(w.first) +
                   " is out of range: " + range_of(n, group, m);
        w.count = static_cast<int>(*c);
    }
    if (auto e = no_more(args, pos + 2); !e.empty())
        return e;
    out = w;
    return {};
}

std::optional<bool> parse_state(std::string_view text)
{
    // Only the words the help shows: a 1 or a yes could as well be a mask
    // or a channel typed in the wrong place.
    auto is = [text](std::string_view word) {
        if (text.size() != word.size())
            return false;
        for (std::size_t i = 0; i < word.size(); ++i)
            if ((text[i] | 0x20) != word[i])
                return false;
        return true;
    };
    if (is("on"))
        return true;
    if (is("off"))
        return false;
    return std::nullopt;
}

std::string parse_mask(std::string_view text, int count, unsigned &out)
{
    auto v = parse_unsigned(text, 0xFFFFFFFFul);
    if (!v)
        return "mask " + std::string(text) + ": expected a number such as 0x55 or 0b0101";
    if (*v >> count)
        return "mask " + std::string(text) + " has bits beyond the " + std::to_string(count) +
               " channel" + (count == 1 ? "" : "s") + " it is for";
    out = static_cast<unsigned>(*v);
    return {};
}

std::optional<std::uint8_t> parse_range(std::string_view text)
{
    if (auto code = parse_unsigned(text, 255)) {
        if (*code < static_cast<unsigned long>(kiv::range_count))
            return static_cast<std::uint8_t>(*code);
        return std::nullopt;
    }
    return kiv::range_from_label(text);
}

std::string no_more(const std::vector<std::string> &args, std::size_t taken)
{
    if (args.size() > taken)
        return "unexpected argument " + args[taken];
    return {};
}

} // namespace kivtool
