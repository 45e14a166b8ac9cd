#include "poll_rows.h"

#include "common/text.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kivtool {

std::string timestamp(bool utc)
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm t{};
    if (utc)
        ::gmtime_r(&ts.tv_sec, &t);
    else
        ::localtime_r(&ts.tv_sec, &t);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &t);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03ld", date, static_cast<long>(ts.tv_nsec / 1000000));
    if (utc)
        return common::concat({text, "Z"});
    char zone[8];
    const std::string_view z(zone, std::strftime(zone, sizeof zone, "%z", &t));
    // +0100; ISO 8601 has +01:00
    if (z.size() == 5)
        return common::concat({text, z.substr(0, 3), ":", z.substr(3)});
    return common::concat({text, z});
}

namespace {

std::string csv_cell(const std::string &cell)
{
    if (cell.find_first_of(",\"\r\n") == std::string::npos)
        return cell;
    std::string s = "\"";
    for (char c : cell)
        s += c == '"' ? std::string("\"\"") : std::string(1, c);
    return s + "\"";
}

} // namespace

void PollRows::print(const std::string &time, const Table &table)
{
    const auto &rows = table.rows();
    if (rows.empty())
        return;
    if (width_.empty()) {
        width_.push_back(time.size());
        for (const auto &cell : rows[0])
            width_.push_back(cell.size());
        for (const auto &r : rows)
            for (std::size_t i = 0; i < r.size() && i + 1 < width_.size(); ++i)
                width_[i + 1] = std::max(width_[i + 1], r[i].size());
        line("time", rows[0]);
    }
    for (std::size_t i = 1; i < rows.size(); ++i)
        line(time, rows[i]);
}

void PollRows::line(const std::string &first, const std::vector<std::string> &cells)
{
    std::string s = csv_ ? csv_cell(first) : first;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (csv_) {
            s += common::concat({",", csv_cell(cells[i])});
            continue;
        }
        const std::string &before = i == 0 ? first : cells[i - 1];
        s += std::string(width_[i] > before.size() ? width_[i] - before.size() + 2 : 2, ' ');
        s += cells[i];
    }
    std::fprintf(out_stream(), "%s\n", s.c_str());
}

} // namespace kivtool
