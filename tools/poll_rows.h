// What poll prints without --json: its rows as a table or as CSV, each
// round's rows with the round's time in front.
#pragma once

#include "output.h"

#include <cstddef>
#include <string>
#include <vector>

namespace kivtool {

// The wall-clock time of a round, ISO 8601 to the millisecond: local with
// its offset, or UTC with Z.
std::string timestamp(bool utc);

// The rows of poll's table: the header once, then every round's rows under
// it with their time in front.
class PollRows {
public:
    explicit PollRows(bool csv) : csv_(csv) {}

    void print(const std::string &time, const Table &table);

private:
    void line(const std::string &first, const std::vector<std::string> &cells);

    bool csv_;
    std::vector<std::size_t> width_;
};

} // namespace kivtool
