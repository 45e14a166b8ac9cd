// The poll figures of the healthy modules, from the values messages that
// arrived in the window: how regular the polls were and how many were lost.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace gwbench {

// One values message: the gateway's poll counter and the reply's time.
struct Poll {
    std::int64_t seq = 0;
    std::int64_t ts_ms = 0;
};

// Milliseconds since the epoch of an RFC 3339 UTC time such as
// "2026-12-08T10:15:02.123Z"; false if the text is not one.
bool parse_utc_ms(const std::string &text, std::int64_t &ms_out);

struct PollFigures {
    std::vector<std::int64_t> jitter_ms;  // |Δts − interval| of each pair of successive polls
    std::int64_t missed = 0;
    std::int64_t seq_gaps = 0;            // of missed, those that the counters show
    std::int64_t seq_restarts = 0;        // a counter that went back: not judged
};

// polls: per healthy module, its messages in the order they arrived.
// Missed polls are the counters' gaps plus, per module, the polls short of
// window/interval by more than one: a poll due right at an edge of the
// window lands on either side of it, so one short is the window's doing.
PollFigures judge_polls(const std::map<std::string, std::vector<Poll>> &polls,
                        std::int64_t interval_ms, double window_s);

// Nearest-rank percentile (0 < p <= 100) of the samples; 0 for none.
std::int64_t percentile(std::vector<std::int64_t> samples, double p);

} // namespace gwbench
