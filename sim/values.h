// Input values of the module: fixed ones given on the command line, and live
// ones that move over time within each channel's range.
#pragma once

#include "model.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zrmsim {

// A value as the channel records carry it: sign, integer part and the digits
// after the point as a plain number (12.5 is 12 and 5, 12.50 is 12 and 50).
struct Reading {
    bool negative = false;
    std::uint16_t integer = 0;
    std::uint16_t fraction = 0;
};

struct TcReading {
    Reading temperature;
    Reading reference;    // integer and fraction 0..255 each
    std::uint8_t faults = 0;
};

struct FixedValues {
    std::array<std::optional<Reading>, 8> ai;
    std::array<std::optional<TcReading>, 3> tc;
    std::optional<std::uint16_t> di;
    std::array<std::optional<std::uint16_t>, 24> sensor;
};

// "-12.5", "3", "12.50": the parts as written. limit bounds both parts.
std::optional<Reading> parse_reading(std::string_view text, unsigned limit);

// The moment whose live values module module_index (0-based, its place in
// the plant) shows at t: t plus 7.31 s for each module before it, so that
// modules of one model do not show the same values at the same time. t is
// the seconds since start, or with --wall-clock the seconds since the epoch
// (wall_clock_seconds()); a test that knows t can tell what any channel of
// any module holds: live_ai(code, ch, live_time(i, t)).
double live_time(int module_index, double t);
// CLOCK_REALTIME in seconds since the epoch.
double wall_clock_seconds();

// Live values at t seconds since start. Live values have one digit after the
// point, since a fraction with a leading zero (12.05) cannot be told from
// one without it in a channel record.
Reading live_ai(int range_code, int ch, double t);
TcReading live_tc(int ch, double t);
std::uint16_t live_di(int inputs, double t);
std::uint16_t live_sensor(int reg, double t);

// The span of a range code: lowest and highest value, in the range's unit
// (mV for codes 0..3, V for 4..9, mA for 10).
struct Span {
    double low;
    double high;
};
Span range_span(int range_code);

} // namespace zrmsim
