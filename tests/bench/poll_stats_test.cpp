#include "poll_stats.h"

#include <gtest/gtest.h>

namespace {

using gwbench::Poll;

TEST(GatewayBenchStats, UtcTimesReadToTheMillisecond)
{
    std::int64_t ms = 0;
    ASSERT_TRUE(gwbench::parse_utc_ms("1970-01-01T00:00:01.234Z", ms));
    EXPECT_EQ(ms, 1234);
    ASSERT_TRUE(gwbench::parse_utc_ms("2026-12-08T10:15:02.123Z", ms));
    EXPECT_EQ(ms, 1796724902123);
    // Fewer or more digits than three are scaled, whole seconds taken as such.
    ASSERT_TRUE(gwbench::parse_utc_ms("1970-01-01T00:00:01.5Z", ms));
    EXPECT_EQ(ms, 1500);
    ASSERT_TRUE(gwbench::parse_utc_ms("1970-01-01T00:00:01.123456Z", ms));
    EXPECT_EQ(ms, 1123);
    ASSERT_TRUE(gwbench::parse_utc_ms("1970-01-02T00:00:00Z", ms));
    EXPECT_EQ(ms, 86400000);

    for (const char *bad : {"", "1970-01-01T00:00:01.234", "1970-01-01T00:00:01.234+01:00",
                            "1970-01-01 00:00:01.234Z", "1970-01-01T00:00:01.Z", "1970-01-01T00:00:01.234Zx"})
        EXPECT_FALSE(gwbench::parse_utc_ms(bad, ms)) << bad;
}

TEST(GatewayBenchStats, JitterAndMissedPolls)
{
    std::map<std::string, std::vector<Poll>> polls;
    // Ten polls in a one-second window at 100 ms: 103, 97 and 100 ms apart.
    for (int i = 0; i < 10; ++i)
        polls["steady"].push_back({i, 1000 + 100 * i + (i % 3 == 1 ? 3 : 0)});
    // A gap of two polls, then its counter starts again (not judged).
    polls["gappy"] = {{5, 0}, {6, 100}, {9, 400}, {10, 500}, {1, 600}, {2, 700}, {3, 800}, {4, 900}};
    // Nothing at all: every poll of the window is missed but one.
    polls["silent"];

    const auto f = gwbench::judge_polls(polls, 100, 1.0);
    EXPECT_EQ(f.seq_gaps, 2);
    EXPECT_EQ(f.seq_restarts, 1);
    // gappy: 8 of 10 received, one short beyond the edge's one; silent: 9.
    EXPECT_EQ(f.missed, 2 + 1 + 9);
    ASSERT_EQ(f.jitter_ms.size(), 9u + 5u);
    EXPECT_EQ(gwbench::percentile(f.jitter_ms, 100), 3);
    EXPECT_EQ(gwbench::percentile(f.jitter_ms, 50), 0);
}

TEST(GatewayBenchStats, PercentileTakesTheNearestRank)
{
    std::vector<std::int64_t> v;
    for (int i = 100; i >= 1; --i)
        v.push_back(i);
    EXPECT_EQ(gwbench::percentile(v, 99), 99);
    EXPECT_EQ(gwbench::percentile(v, 100), 100);
    v.push_back(1000);  // 101 samples: the 99th percentile is the 100th
    EXPECT_EQ(gwbench::percentile(v, 99), 100);
    EXPECT_EQ(gwbench::percentile({}, 99), 0);
    EXPECT_EQ(gwbench::percentile({7}, 99), 7);
}

} // namespace
