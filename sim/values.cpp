#include "values.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <numbers>

namespace zrmsim {

namespace {

std::optional<unsigned> parse_digits(std::string_view s, unsigned limit)
{
    if (s.empty())
        return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9')
            return std::nullopt;
    unsigned v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v > limit)
        return std::nullopt;
    return v;
}

double wave(double t, int phase, double period)
{
    return std::sin(2.0 * std::numbers::pi * t / period + 0.9 * phase);
}

Reading one_decimal(double v)
{
    long tenths = std::lround(std::fabs(v) * 10.0);
    Reading r;
    r.negative = v < 0 && tenths != 0;
    r.integer = static_cast<std::uint16_t>(tenths / 10);
    r.fraction = static_cast<std::uint16_t>(tenths % 10);
    return r;
}

} // namespace

std::optional<Reading> parse_reading(std::string_view text, unsigned limit)
{
    Reading r;
    if (!text.empty() && text.front() == '-') {
        r.negative = true;
        text.remove_prefix(1);
    }
    auto point = text.find('.');
    auto integer = parse_digits(text.substr(0, point), limit);
    if (!integer)
        return std::nullopt;
    r.integer = static_cast<std::uint16_t>(*integer);
    if (point != std::string_view::npos) {
        auto fraction = parse_digits(text.substr(point + 1), limit);
        if (!fraction)
            return std::nullopt;
        r.fraction = static_cast<std::uint16_t>(*fraction);
    }
    return r;
}

Span range_span(int code)
{
    static constexpr double spans[] = {150.0, 500.0, 1.0, 5.0, 10.0};
    if (code >= 10)
        return {0.0, 20.0};
    double span = spans[code / 2];
    return code % 2 == 1 ? Span{0.0, span} : Span{-span, span};
}

// No two offsets of 1000 modules differ by a whole number of periods of an
// analog value (20..27 s, 30..32 s, 60 s), so no two modules of a model
// show the same analog values at once.
constexpr double module_offset_s = 7.31;

double live_time(int module_index, double t)
{
    return t + module_offset_s * module_index;
}

double wall_clock_seconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

Reading live_ai(int code, int ch, double t)
{
    Span s = range_span(code);
    double mid = (s.low + s.high) / 2.0;
    double half = (s.high - s.low) / 2.0;
    return one_decimal(mid + 0.8 * half * wave(t, ch, 20.0 + ch));
}

TcReading live_tc(int ch, double t)
{
    TcReading r;
    r.temperature = one_decimal(25.0 + 8.0 * wave(t, ch, 30.0 + ch));
    r.reference = one_decimal(24.0 + 1.0 * wave(t, ch + 5, 60.0));
    return r;
}

std::uint16_t live_di(int inputs, double t)
{
    unsigned v = 0;
    for (int i = 0; i < inputs; ++i) {
        auto phase = static_cast<long>(t / (1.0 + 0.5 * i));
        if (phase % 2 == 1)
            v |= 1u << i;
    }
    return static_cast<std::uint16_t>(v);
}

std::uint16_t live_sensor(int reg, double t)
{
    return static_cast<std::uint16_t>(1000 + 100 * reg + std::lround(50.0 * wave(t, reg, 20.0)));
}

} // namespace zrmsim
