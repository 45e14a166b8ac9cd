#include "poll_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace gwbench {

bool parse_utc_ms(const std::string &text, std::int64_t &ms_out)
{
    std::tm t{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &consumed) != 6 ||
        consumed != 19)
        return false;
    std::size_t at = 19;
    std::int64_t ms = 0;
    if (at < text.size() && text[at] == '.') {
        int digits = 0;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
            if (digits < 3)
                ms = ms * 10 + (text[at] - '0');
        if (digits == 0)
            return false;
        for (; digits < 3; ++digits)
            ms *= 10;
    }
    if (at + 1 != text.size() || (text[at] != 'Z' && text[at] != 'z'))
        return false;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    const std::time_t s = ::timegm(&t);
    if (s == static_cast<std::time_t>(-1))
        return false;
    ms_out = static_cast<std::int64_t>(s) * 1000 + ms;
    return true;
}

PollFigures judge_polls(const std::map<std::string, std::vector<Poll>> &polls,
                        std::int64_t interval_ms, double window_s)
{
    PollFigures f;
    const auto expected = static_cast<std::int64_t>(std::floor(window_s * 1000.0 / static_cast<double>(interval_ms)));
    for (const auto &[name, list] : polls) {
        for (std::size_t i = 1; i < list.size(); ++i) {
            const std::int64_t step = list[i].seq - list[i - 1].seq;
            if (step <= 0) {
                ++f.seq_restarts;
                continue;
            }
            if (step > 1) {
                f.seq_gaps += step - 1;
                continue;
            }
            f.jitter_ms.push_back(std::llabs(list[i].ts_ms - list[i - 1].ts_ms - interval_ms));
        }
        const auto received = static_cast<std::int64_t>(list.size());
        f.missed += std::max<std::int64_t>(0, expected - 1 - received);
    }
    f.missed += f.seq_gaps;
    return f;
}

std::int64_t percentile(std::vector<std::int64_t> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
    rank = std::clamp<std::size_t>(rank, 1, samples.size());
    return samples[rank - 1];
}

} // namespace gwbench
