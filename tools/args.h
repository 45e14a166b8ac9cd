// The words after the command: channel windows, masks, states and ranges,
// each checked against the model before anything is sent.
#pragma once

#include "models.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivtool {

// A decimal number, or hex with 0x, or binary with 0b; at most max.
std::optional<unsigned long> parse_unsigned(std::string_view text, unsigned long max);

// 1-based channels first..first+count-1 of a group of n.
struct Window {
    int first = 1;
    int count = 0;
    int last() const { return first + count - 1; }
};

// Reads [FIRST [COUNT]] from args at pos (both optional: FIRST defaults to
// 1, COUNT to the rest of the group). group names the channels ("TC") for
// the messages. Returns an error message, empty when the window is good.
std::string parse_window(const std::vector<std::string> &args, std::size_t pos, int n,
                         std::string_view group, const ModelInfo &m, Window &out);

// A channel number 1..n.
std::string parse_channel(std::string_view text, int n, std::string_view group,
                          const ModelInfo &m, int &out);

// on or off, in any case.
std::optional<bool> parse_state(std::string_view text);

// A mask of count bits: bit i for channel first+i.
std::string parse_mask(std::string_view text, int count, unsigned &out);

// A range code 0..10 or its label ("0~10V", any case).
std::optional<std::uint8_t> parse_range(std::string_view text);

// Fails when more words follow than the command takes.
std::string no_more(const std::vector<std::string> &args, std::size_t taken);

} // namespace kivtool
