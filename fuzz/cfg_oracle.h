// What kiv.h promises for the configuration parameters, as the fuzz targets
// check it: the value a read takes from an answer, the value a write may be
// built on, the lines a write sends and its echo, the error text.
//
// A call is judged on its answers: what each of its receives took, in order
// (a receive that took nothing ends the list). complete says the list holds
// every receive the call made; on a stream the target may know only the
// first.
//
// kiv.h does not say whether a NUL inside a parameter answer ends it for the
// prefix, the value, the "=" and the echo (it says so for the login and the
// error text): a call passes when it keeps its promises under one reading or
// the other, all bytes or the text up to the first NUL.
#pragma once

#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace kivfuzz::cfg {

enum class Reading { bytes, text };

// A broken promise under one reading; the other may still hold.
struct Broken {
    int line;
    const char *cond;
};

#define KIV_ORACLE(cond)                                                                       \
    do {                                                                                       \
        if (!(cond))                                                                           \
            throw ::kivfuzz::cfg::Broken{__LINE__, #cond};                                     \
    } while (0)

template <typename Check>
void either_reading(Check check)
{
    try {
        check(Reading::bytes);
        return;
    } catch (const Broken &) {
    }
    try {
        check(Reading::text);
    } catch (const Broken &b) {
        std::fprintf(stderr, "cfg_oracle.h:%d: check failed: %s\n", b.line, b.cond);
        std::abort();
    }
}

inline std::string_view seen(std::string_view a, Reading r)
{
    return r == Reading::text ? a.substr(0, a.find('\0')) : a;
}

// The text from position at on, empty past its end.
inline std::string_view tail(std::string_view t, std::size_t at)
{
    return t.substr(std::min(at, t.size()));
}

struct Answers {
    std::vector<std::string> list;
    bool complete = true;
};

// Lines as the module reads them from a stream: each up to its CR LF.
inline std::vector<std::string> split_lines(const Bytes &stream)
{
    const std::string all(stream.begin(), stream.end());
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = all.find("\r\n", at);
        const std::size_t stop = end == std::string::npos ? all.size() : end + 2;
        lines.push_back(all.substr(at, stop - at));
        at = stop;
    }
    return lines;
}

// The answers of a call on a stream, from the bytes it took: a single
// receive took them all; a write that went on past its read took exactly
// the first line (only a plain value is built on), the rest by receives
// that cannot be told apart.
inline Answers stream_answers(const Bytes &took, bool single, bool write)
{
    Answers a;
    const std::string all(took.begin(), took.end());
    if (all.empty())
        return a;
    if (single) {
        a.list.push_back(all);
        return a;
    }
    a.complete = false;
    if (!write)
        return a;
    const std::size_t end = all.find("\r\n");
    const std::size_t first = end == std::string::npos ? all.size() : end + 2;
    a.list.push_back(all.substr(0, first));
    if (first < all.size())
        a.list.push_back(all.substr(first));
    return a;
}

inline std::string prefix_of(std::string_view key)
{
    return "A:" + std::string(key) + "=";
}

inline std::size_t min_answer(std::string_view key)
{
    return key == "u8_povp" ? 12 : 8;
}

inline std::string get_line(std::string_view key)
{
    return "G:" + std::string(key) + "=\r\n";
}

inline std::string set_line(std::string_view key, std::uint32_t word)
{
    char text[48];
    std::snprintf(text, sizeof text, "S:%.*s=%d\r\n", static_cast<int>(key.size()), key.data(),
                  static_cast<std::int32_t>(word));
    return text;
}

inline std::string range_get_line(int channel)
{
    return "G:ai_range_" + std::to_string(channel) + "=\r\n";
}

inline std::string range_set_line(int channel, int base)
{
    return "S:ai_range_" + std::to_string(channel) + "=" + std::to_string(base) + "\r\n";
}

inline bool window_ok(int first, int count)
{
    return first >= 0 && count >= 0 && first + static_cast<long>(count) <= 32;
}

inline bool ends_line(std::string_view a)
{
    return a.size() >= 2 && a.substr(a.size() - 2) == "\r\n";
}

// A 32-bit strtoul: leading white space and a sign, digits up to the first
// other character, a magnitude of 2^32 or more as 2^32-1, minus modulo 2^32.
inline std::uint32_t read_u32(std::string_view t)
{
    std::size_t at = 0;
    while (at < t.size() && (t[at] == ' ' || (t[at] >= '\t' && t[at] <= '\r')))
        ++at;
    const bool minus = at < t.size() && t[at] == '-';
    if (at < t.size() && (t[at] == '-' || t[at] == '+'))
        ++at;
    std::uint64_t v = 0;
    for (; at < t.size() && t[at] >= '0' && t[at] <= '9'; ++at)
        v = std::min<std::uint64_t>(v * 10 + static_cast<std::uint64_t>(t[at] - '0'), 0x100000000);
    if (v > 0xFFFFFFFF)
        return 0xFFFFFFFF;
    return minus ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
}

// The value a read takes: the answer is longer than the minimum, ends in
// CR LF and contains the prefix; the value stands at the prefix's length
// from the start, the CR LF cut.
inline std::optional<std::uint32_t> read_value(std::string_view a, std::string_view key, Reading r)
{
    const std::string prefix = prefix_of(key);
    if (a.size() <= min_answer(key) || !ends_line(a) ||
        seen(a, r).find(prefix) == std::string_view::npos)
        return std::nullopt;
    return read_u32(tail(seen(a.substr(0, a.size() - 2), r), prefix.size()));
}

// The value a write may be built on: exactly the prefix, one or more digits
// of a number below 2^32, CR LF.
inline std::optional<std::uint32_t> stated(std::string_view a, std::string_view key)
{
    const std::string prefix = prefix_of(key);
    if (!a.starts_with(prefix) || !ends_line(a) || a.size() < prefix.size() + 3)
        return std::nullopt;
    std::uint64_t v = 0;
    for (char c : a.substr(prefix.size(), a.size() - prefix.size() - 2)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > 0xFFFFFFFF)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

// The module's answer holds the line sent with its S replaced by A.
inline bool echoed(std::string_view a, std::string line, std::size_t min, Reading r)
{
    line[0] = 'A';
    return a.size() > min && seen(a, r).find(line) != std::string_view::npos;
}

inline std::uint32_t with_window(std::uint32_t word, int first, int count, std::uint32_t bits)
{
    for (int i = 0; i < count; ++i) {
        const std::uint32_t at = 1u << (first + i);
        word = ((bits >> i) & 1u) ? (word | at) : (word & ~at);
    }
    return word;
}

// An error text: the text's bytes up to size-1 or its first NUL, then a NUL;
// nothing past them.
inline void check_error_text(const Buffer &buf, std::string_view text)
{
    if (buf.size() == 0)
        return;
    const std::size_t n = std::min(text.substr(0, text.find('\0')).size(), buf.size() - 1);
    KIV_ORACLE(std::memcmp(text.data(), buf.data(), n) == 0);
    KIV_ORACLE(buf[n] == 0);
    KIV_ORACLE(untouched(buf, n + 1));
}

// In the checks: lines, the lines the call sent; no_reply(rc), whether rc
// is allowed for an exchange whose receive took nothing.

// A bit-window read: the window's bits of the value read, in data[0].
template <typename NoReply>
void check_get_bits(std::string_view key, int first, int count,
                    const std::vector<std::string> &lines, const Answers &answers, int rc,
                    int count_out, const Buffer &buf, NoReply no_reply, Reading r)
{
    if (!window_ok(first, count) || buf.size() == 0) {
        KIV_ORACLE(rc == KIV_ERR_PARAM && lines.empty() && count_out == 0 && untouched(buf));
        return;
    }
    KIV_ORACLE(lines.size() == 1 && lines[0] == get_line(key));
    if (answers.list.empty()) {
        KIV_ORACLE(no_reply(rc) && count_out == 0 && untouched(buf));
        return;
    }
    const std::string &a = answers.list[0];
    const auto value = read_value(a, key, r);
    if (!value) {
        KIV_ORACLE(rc == KIV_ERR_RESPONSE && count_out == static_cast<int>(a.size()));
        check_error_text(buf, a);
        return;
    }
    unsigned bits = 0;
    for (int i = 0; i < std::min(count, 8); ++i)
        bits |= ((*value >> (first + i)) & 1u) << i;
    KIV_ORACLE(rc == KIV_OK && count_out == 1 && buf[0] == bits && untouched(buf, 1));
}

// A bit-window write: nothing is written unless the first answer states a
// value, and then exactly that value with the window replaced. buf is null
// for the model entry points, whose error text and count stay inside.
template <typename NoReply>
void check_set_bits(std::string_view key, int first, int count, int value,
                    const std::vector<std::string> &lines, const Answers &answers, int rc,
                    int count_out, const Buffer *buf, NoReply no_reply, Reading r)
{
    auto counted = [&](std::size_t n) {
        return buf == nullptr || count_out == static_cast<int>(n);
    };
    if (!window_ok(first, count)) {
        KIV_ORACLE(rc == KIV_ERR_PARAM && lines.empty() && counted(0));
        return;
    }
    KIV_ORACLE(!lines.empty() && lines[0] == get_line(key));
    const auto &list = answers.list;
    auto error_text = [&](const std::string &a) {
        KIV_ORACLE(rc == KIV_ERR_RESPONSE && counted(a.size()));
        if (buf != nullptr)
            check_error_text(*buf, a);
    };
    if (list.empty()) {
        KIV_ORACLE(lines.size() == 1 && no_reply(rc) && counted(0));
        return;
    }
    const auto word = stated(list[0], key);
    if (!word) {
        KIV_ORACLE(lines.size() == 1);
        error_text(list[0]);
        return;
    }
    const std::string sent =
        set_line(key, with_window(*word, first, count, static_cast<std::uint32_t>(value)));
    KIV_ORACLE(lines.size() == 2 && lines[1] == sent);
    if (list.size() < 2)
        KIV_ORACLE(no_reply(rc) && counted(0));
    else if (echoed(list[1], sent, min_answer(key), r))
        KIV_ORACLE(rc == KIV_OK && counted(0));
    else
        error_text(list[1]);
}

// The range read: the "ai_pl" word, then each channel's answer in turn.
template <typename NoReply>
void check_get_range(int first, int count, int size, const std::vector<std::string> &lines,
                     const Answers &answers, int rc, int count_out, const Buffer &codes,
                     NoReply no_reply, Reading r)
{
    if (!window_ok(first, count)) {
        KIV_ORACLE(rc == KIV_ERR_PARAM && lines.empty() && count_out == 0 && untouched(codes));
        return;
    }
    const int stored = std::min(count, std::max(size, 0));
    KIV_ORACLE(!lines.empty() && lines[0] == get_line("ai_pl"));
    KIV_ORACLE(lines.size() <= 1 + static_cast<std::size_t>(stored));
    for (std::size_t i = 1; i < lines.size(); ++i)
        KIV_ORACLE(lines[i] == range_get_line(first + static_cast<int>(i) - 1));
    const auto &list = answers.list;
    if (list.empty()) {
        // On a stream only a single exchange is known to have taken nothing.
        if (answers.complete || lines.size() == 1)
            KIV_ORACLE(lines.size() == 1 && no_reply(rc) && count_out == 0 && untouched(codes));
        return;
    }
    const auto polarity = read_value(list[0], "ai_pl", r);
    if (!polarity) {
        KIV_ORACLE(lines.size() == 1 && rc == KIV_ERR_RESPONSE);
        KIV_ORACLE(count_out == static_cast<int>(list[0].size()));
        check_error_text(codes, list[0]);
        return;
    }
    if (!answers.complete)
        return;
    Bytes read;
    for (int i = 0; i < stored; ++i) {
        if (list.size() <= static_cast<std::size_t>(1 + i)) {
            KIV_ORACLE(lines.size() == static_cast<std::size_t>(2 + i));
            KIV_ORACLE(no_reply(rc) && count_out == 0 && untouched(codes));
            return;
        }
        const std::string &a = list[static_cast<std::size_t>(1 + i)];
        if (a.size() <= 8 || !ends_line(a) || seen(a, r).find("A:ai_range_") == std::string::npos) {
            KIV_ORACLE(lines.size() == static_cast<std::size_t>(2 + i));
            KIV_ORACLE(rc == KIV_ERR_RESPONSE && count_out == 0);
            check_error_text(codes, a);
            return;
        }
        const std::string_view text = std::string_view(a).substr(0, a.size() - 2);
        const std::size_t equals = seen(text, r).find('=');
        if (equals == std::string_view::npos) {
            KIV_ORACLE(lines.size() == static_cast<std::size_t>(2 + i));
            KIV_ORACLE(rc == KIV_ERR_RESPONSE && count_out == static_cast<int>(a.size()));
            check_error_text(codes, text);
            return;
        }
        auto code = static_cast<std::uint8_t>(read_u32(seen(text, r).substr(equals + 1)));
        if (((*polarity >> (first + i)) & 1u) && code != 10)
            ++code;
        read.push_back(code);
    }
    KIV_ORACLE(lines.size() == static_cast<std::size_t>(1 + stored));
    KIV_ORACLE(rc == KIV_OK && count_out == stored);
    KIV_ORACLE(read.empty() || std::memcmp(read.data(), codes.data(), read.size()) == 0);
    KIV_ORACLE(untouched(codes, read.size()));
}

// The range write: "ai_pl" read (a stated value, or nothing is written),
// each channel's base value echoed in turn, then the new "ai_pl" word.
template <typename NoReply>
void check_set_range(int first, int count, const Bytes &codes,
                     const std::vector<std::string> &lines, const Answers &answers, int rc,
                     NoReply no_reply, Reading r)
{
    if (!window_ok(first, count)) {
        KIV_ORACLE(rc == KIV_ERR_PARAM && lines.empty());
        return;
    }
    KIV_ORACLE(!lines.empty() && lines[0] == get_line("ai_pl"));
    const auto &list = answers.list;
    if (list.empty()) {
        KIV_ORACLE(lines.size() == 1 && no_reply(rc));
        return;
    }
    const auto polarity = stated(list[0], "ai_pl");
    if (!polarity) {
        KIV_ORACLE(lines.size() == 1 && rc == KIV_ERR_RESPONSE);
        return;
    }
    std::vector<std::string> expected;
    std::uint32_t word = *polarity;
    for (int i = 0; i < count; ++i) {
        const int channel = first + i;
        const std::uint8_t code = codes[static_cast<std::size_t>(i)];
        const std::uint32_t bit = 1u << channel;
        int base = code;
        if (code == 10) {
            word |= bit;
        } else if (code < 10) {
            base = code & ~1;
            word = (code & 1) ? (word | bit) : (word & ~bit);
        }
        expected.push_back(range_set_line(channel, base));
    }
    expected.push_back(set_line("ai_pl", word));
    // Every line sent is the next one expected; a channel that fails stops
    // the write with KIV_ERR_RESPONSE.
    KIV_ORACLE(lines.size() >= 2 && lines.size() <= 1 + expected.size());
    for (std::size_t i = 1; i < lines.size(); ++i)
        KIV_ORACLE(lines[i] == expected[i - 1]);
    if (lines.size() < 1 + expected.size())
        KIV_ORACLE(rc == KIV_ERR_RESPONSE);
    if (!answers.complete)
        return;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool last = i + 1 == expected.size();
        if (list.size() <= 1 + i) {
            KIV_ORACLE(lines.size() == 2 + i);
            KIV_ORACLE(last ? no_reply(rc) : rc == KIV_ERR_RESPONSE);
            return;
        }
        if (!echoed(list[1 + i], expected[i], 8, r)) {
            KIV_ORACLE(lines.size() == 2 + i && rc == KIV_ERR_RESPONSE);
            return;
        }
    }
    KIV_ORACLE(rc == KIV_OK);
}

} // namespace kivfuzz::cfg
