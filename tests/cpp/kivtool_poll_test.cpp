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
    // The header once, then a row per round behind its wall-clock time.
    EXPECT_EQ(r.out.rfind("time                           channel  enabled  temperature  reference  faults\n", 0), 0u)
        << r.out;
    EXPECT_EQ(count_of(r.out, "  1        yes      25.5         24.3       -\n"), 3u) << r.out;
    EXPECT_EQ(count_of(r.out, "channel"), 1u) << r.out;
    EXPECT_EQ(last_line(r.out), "--- 127.0.0.1 ZRM-7303 tc: 3 rounds, 3 sent, 3 answered, 0 lost (0.0%), 0 not sent (no connection), 0 errors");
}

TEST(KivtoolPoll, JsonLinesThenTheSummaryObject)
{
    Sim sim({"--model", "7302", "--di", "0x1"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7302", {"--json", "-i", "0", "-c", "2", "poll", "di", "1", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "\n"), 3u) << r.out;
    EXPECT_EQ(r.out.rfind("{\"address\":\"127.0.0.1\",\"model\":7302,\"command\":\"di\",\"round\":1,"
                          "\"time\":\"",
                          0),
              0u)
        << r.out;
    EXPECT_EQ(count_of(r.out, "\"ok\":true,\"first\":1,\"count\":1,\"mask\":1,"), 2u);
    EXPECT_EQ(last_line(r.out), "{\"address\":\"127.0.0.1\",\"model\":7302,\"command\":\"poll\","
                                "\"poll\":\"di\",\"summary\":{\"rounds\":2,\"sent\":2,\"answered\":2,"
                                "\"lost\":0,\"not_sent\":0,\"errors\":0,\"loss_percent\":0.0}}");
}

TEST(KivtoolPoll, ExceptionsAreReceivedButErrors)
{
    Sim sim({"--model", "7301", "--exception", "4"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7301", {"-i", "0", "-c", "3", "poll", "ai"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.err, "Modbus exception 4, server device failure (KIV_ERR_EXCEPTION)\n"), 3u) << r.err;
    EXPECT_EQ(count_of(r.err, "kivtool: round "), 3u);
    EXPECT_EQ(last_line(r.out), "--- 127.0.0.1 ZRM-7301 ai: 3 rounds, 3 sent, 3 answered, 0 lost (0.0%), 0 not sent (no connection), 3 errors");
}

TEST(KivtoolPoll, TimeoutsAreLost)
{
    Sim sim({"--model", "7303", "--delay-ms", "3000"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"-t", "100", "-i", "0", "-c", "2", "poll", "do"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.err, "timeout (KIV_ERR_TIMEOUT)"), 2u) << r.err;
    EXPECT_EQ(last_line(r.out), "--- 127.0.0.1 ZRM-7303 do: 2 rounds, 2 sent, 0 answered, 2 lost (100.0%), 0 not sent (no connection), 2 errors");
}

TEST(KivtoolPoll, ReconnectsAfterADroppedConnection)
{
    // The module closes each connection after one answer: every other round
    // finds it gone and the next one connects anew.
    Sim sim({"--model", "7302", "--close-after", "1"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7302", {"-i", "50", "-c", "4", "poll", "do"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_of(r.out, "  1        off\n"), 2u) << r.out << r.err;
    EXPECT_EQ(count_of(r.err, "kivtool: round "), 2u) << r.err;
    EXPECT_EQ(last_line(r.out), "--- 127.0.0.1 ZRM-7302 do: 4 rounds, 4 sent, 2 answered, 2 lost (50.0%), 0 not sent (no connection), 2 errors");
}

TEST(KivtoolPoll, CtrlCEndsWithTheSummary)
{
    Sim sim({"--model", "7303"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    Process p(kivtool_argv(line(sim, "7303", {"-i", "100", "poll", "di"})));
    std::string first;
    ASSERT_TRUE(p.read_line(first, std::chrono::seconds(30)));
    EXPECT_EQ(first.rfind("time ", 0), 0u) << first;
    std::string table;
    ASSERT_TRUE(p.read_line(table, std::chrono::seconds(30)));
    p.signal(SIGINT);
    ASSERT_TRUE(p.finish(std::chrono::seconds(30)));
    EXPECT_EQ(p.status(), 0) << p.err();
    std::string summary = last_line(p.out());
    EXPECT_EQ(summary.rfind("--- 127.0.0.1 ZRM-7303 di: ", 0), 0u) << p.out();
    EXPECT_NE(summary.find(" lost (0.0%), 0 not sent (no connection), 0 errors"), std::string::npos) << summary;
}

TEST(KivtoolPoll, CsvRowsAndRoundsWithoutAConnection)
{
    Sim sim({"--model", "7303", "--tc", "2=-3.75,-0.7,0x03"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"--csv", "--utc", "-i", "0", "-c", "2", "poll", "tc", "2", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("time,channel,enabled,temperature,reference,faults\n", 0), 0u) << r.out;
    EXPECT_EQ(count_of(r.out, "Z,2,yes,-3.75,-0.7,\"Open, Short to GND\"\n"), 2u) << r.out;
    // The summary stays off the file.
    EXPECT_EQ(last_line(r.err), "--- 127.0.0.1 ZRM-7303 tc: 2 rounds, 2 sent, 2 answered, 0 lost (0.0%), 0 not sent (no connection), 0 errors");

    // A module that has gone: its port refuses every round.
    std::string port;
    {
        Sim gone({"--model", "7303"});
        port = std::to_string(gone.modbus_port);
    }
    ToolRun refused = kivtool({"--modbus-port", port, "-i", "0", "-c", "2", "127.0.0.1", "7303", "poll", "di"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(last_line(refused.out), "--- 127.0.0.1 ZRM-7303 di: 2 rounds, 0 sent, 0 answered, 0 lost (0.0%), "
                                      "2 not sent (no connection), 2 errors");
}

TEST(KivtoolPoll, ClosedPipeStopsAtOnce)
{
    Sim sim({"--model", "7303"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    // With SIGPIPE ignored, as many parents leave it, the write fails with
    // EPIPE instead of ending the tool: it must stop there all the same.
    const std::string tool = shell_words(kivtool_argv(line(sim, "7303", {"-i", "20", "-c", "1000", "poll", "tc"})));
    Process p({"/bin/sh", "-c", "trap '' PIPE; { " + tool + "; echo \"status $?\" >&2; } | head -n 1 >/dev/null"});
    ASSERT_TRUE(p.finish(std::chrono::seconds(15))) << "poll ran on into a closed pipe";
    EXPECT_NE(p.err().find("kivtool: write to standard output: broken pipe (EPIPE)\n"), std::string::npos) << p.err();
    EXPECT_NE(p.err().find("status 1\n"), std::string::npos) << p.err();
}
