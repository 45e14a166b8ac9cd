// kivtool poll: rounds at the interval, the summary line, counting of lost
// rounds and errors, reconnecting after a dropped connection, and Ctrl-C.
#include "tool_process.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace kivtest;

namespace {

std::vector<std::string> line(const Sim &sim, const char *model, std::vector<std::string> args)
{
    std::vector<std::string> l = ports(sim);
    l.push_back("127.0.0.1");
    l.push_back(model);
    l.insert(l.end(), args.begin(), args.end());
    return l;
}

ToolRun run(const Sim &sim, const char *model, std::vector<std::string> args)
{
    return kivtool(line(sim, model, std::move(args)));
}

std::size_t count_of(const std::string &text, const std::string &part)
{
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string last_line(const std::string &text)
{
    auto end = text.size() && text.back() == '\n' ? text.size() - 1 : text.size();
    auto start = text.rfind('\n', end ? end - 1 : 0);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

} // namespace

TEST(KivtoolPoll, CountedRoundsThenTheSummary)
{
    Sim sim({"--model", "7303", "--tc", "1=25.5,24.3,0"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"-i", "20", "-c", "3", "poll", "tc", "1", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(count_of(r.out, "1        yes      25.5         24.3       -\n"), 3u) << r.out;
    EXPECT_EQ(r.out.rfind("--- round 1, +", 0), 0u);
    EXPECT_EQ(count_of(r.out, "--- round "), 3u);
    EXPECT_EQ(last_line(r.out), "--- 127.0.0.1 ZRM-7303 tc: 3 sent, 3 received, 0 errors, 0.0% loss");
}

TEST(KivtoolPoll, JsonLinesThenTheSummaryObject)
{
    Sim sim({"--model", "7302", "--di", "0x1"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7302", {"--json", "-i", "0", "-c", "2", "poll", "di", "1", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "\n"), 3u) << r.out;
    EXPECT_EQ(r.out.rfind("{\"address\":\"127.0.0.1\",\"model\":7302,\"command\":\"di\",\"round\":1,"
                          "\"elapsed_ms\":",
                          0),
              0u)
        << r.out;
    EXPECT_EQ(count_of(r.out, "\"ok\":true,\"first\":1,\"count\":1,\"mask\":1,"), 2u);
    EXPECT_EQ(last_line(r.out), "{\"address\":\"127.0.0.1\",\"model\":7302,\"command\":\"poll\","
                                "\"poll\":\"di\",\"summary\":{\"sent\":2,\"received\":2,\"errors\":0,"
                                "\"loss_percent\":0.0}}");
}

TEST(KivtoolPoll, ExceptionsAreReceivedButErrors)
{
    Sim sim({"--model", "7301", "--exception", "4"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7301", {"-i", "0", "-c", "3", "poll", "ai"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.err, "Modbus exception 4, server device failure (KIV_ERR_EXCEPTION)\n"), 3u) << r.err;
    EXPECT_EQ(count_of(r.err, "kivtool: round "), 3u);
    EXPECT_EQ(last_line(r.out), "--- 127.0.0.1 ZRM-7301 ai: 3 sent, 3 received, 3 errors, 0.0% loss");
}

TEST(KivtoolPoll, TimeoutsAreLost)
{
    Sim sim({"--model", "7303", "--delay-ms", "3000"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"-t", "100", "-i", "0", "-c", "2", "poll", "do"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.err, "timeout (KIV_ERR_TIMEOUT)"), 2u) << r.err;
    EXPECT_EQ(last_line(r.out), "--- 127.0.0.1 ZRM-7303 do: 2 sent, 0 received, 2 errors, 100.0% loss");
}

TEST(KivtoolPoll, ReconnectsAfterADroppedConnection)
{
    // The module closes each connection after one answer: every other round
    // finds it gone and the next one connects anew.
    Sim sim({"--model", "7302", "--close-after", "1"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7302", {"-i", "50", "-c", "4", "poll", "do"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.out, "channel  state\n"), 2u) << r.out << r.err;
    EXPECT_EQ(count_of(r.err, "kivtool: round "), 2u) << r.err;
    EXPECT_EQ(last_line(r.out), "--- 127.0.0.1 ZRM-7302 do: 4 sent, 2 received, 2 errors, 50.0% loss");
}

TEST(KivtoolPoll, CtrlCEndsWithTheSummary)
{
    Sim sim({"--model", "7303"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    Process p(kivtool_argv(line(sim, "7303", {"-i", "100", "poll", "di"})));
    std::string first;
    ASSERT_TRUE(p.read_line(first, std::chrono::seconds(30)));
    EXPECT_EQ(first.rfind("--- round 1, +", 0), 0u) << first;
    std::string table;
    ASSERT_TRUE(p.read_line(table, std::chrono::seconds(30)));
    p.signal(SIGINT);
    ASSERT_TRUE(p.finish(std::chrono::seconds(30)));
    EXPECT_EQ(p.status(), 0) << p.err();
    std::string summary = last_line(p.out());
    EXPECT_EQ(summary.rfind("--- 127.0.0.1 ZRM-7303 di: ", 0), 0u) << p.out();
    EXPECT_NE(summary.find(" received, 0 errors, 0.0% loss"), std::string::npos) << summary;
}
