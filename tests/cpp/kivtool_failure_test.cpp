// kivtool's failures: each names its result code in words on standard
// error and ends with status 1, and --json reports it as well.
#include "fake_peer.h"
#include "tool_process.h"

#include <gtest/gtest.h>

using namespace kivtest;

namespace {

ToolRun run(const Sim &sim, const char *model, std::vector<std::string> args)
{
    std::vector<std::string> line = ports(sim);
    line.push_back("127.0.0.1");
    line.push_back(model);
    line.insert(line.end(), args.begin(), args.end());
    return kivtool(line);
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(KivtoolFailure, NoModuleIsAConnectionRefused)
{
    ClosedPort nothing;
    const std::string port = std::to_string(nothing.port());
    ToolRun r = kivtool({"--modbus-port", port, "127.0.0.1", "7303", "tc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kivtool: connect to 127.0.0.1:" + port +
                         " (KIV_Connect): connection refused (ECONNREFUSED)\n");
    ToolRun cfg = kivtool({"--config-port", port, "127.0.0.1", "7301", "enable"});
    EXPECT_EQ(cfg.status, 1);
    EXPECT_TRUE(has(cfg.err, "log in to 127.0.0.1:" + port + " (KIV_Cfg_Login): connection refused (ECONNREFUSED)"))
        << cfg.err;
}

TEST(KivtoolFailure, NoModuleInJson)
{
    ClosedPort nothing;
    const std::string port = std::to_string(nothing.port());
    ToolRun r = kivtool({"--json", "--modbus-port", port, "127.0.0.1", "7302", "di"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"address\":\"127.0.0.1\",\"model\":7302,\"command\":\"di\",\"ok\":false,"
                     "\"error\":{\"doing\":\"connect to 127.0.0.1:" + port +
                         "\",\"call\":\"KIV_Connect\",\"code\":111,\"name\":\"ECONNREFUSED\","
                         "\"text\":\"connection refused\"}}\n");
    EXPECT_TRUE(has(r.err, "connection refused (ECONNREFUSED)"));
}

TEST(KivtoolFailure, ConnectThatNeverCompletesTimesOut)
{
    FakePeer silent(0);
    ASSERT_TRUE(silent.fill_backlog());
    ToolRun r = kivtool({"--modbus-port", std::to_string(silent.port()), "--connect-timeout", "300",
                         "127.0.0.1", "7301", "ai"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "(KIV_Connect): timeout (KIV_ERR_TIMEOUT); no answer within 300 ms")) << r.err;
}

TEST(KivtoolFailure, RefusedLoginNamesThePassword)
{
    Sim sim({"--model", "7301", "--password", "secret"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun none = run(sim, "7301", {"range"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_TRUE(has(none.err, "(KIV_Cfg_Login): login refused (KIV_ERR_LOGIN); give the module's password "
                              "with --password"))
        << none.err;
    ToolRun wrong = run(sim, "7301", {"--password", "secreT", "range"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_TRUE(has(wrong.err, "login refused (KIV_ERR_LOGIN); check the password")) << wrong.err;
}

TEST(KivtoolFailure, ReadThatGetsNoAnswerTimesOut)
{
    Sim sim({"--model", "7303", "--delay-ms", "3000"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"-t", "200", "tc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kivtool: read TC channels 1..3 (KIV_ZRM_7303_TC_Read): timeout (KIV_ERR_TIMEOUT); "
                     "no answer within 200 ms\n");
}

TEST(KivtoolFailure, ConfigurationAnswerThatNeverComesTimesOut)
{
    Sim sim({"--model", "7303", "--config-ignore", "tc_en"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"-t", "200", "enable-set", "1", "off"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "set the enable bits of TC channel 1 (KIV_Cfg_ZRM_7303_Set_TC_Enable): "
                           "timeout (KIV_ERR_TIMEOUT)"))
        << r.err;
}

TEST(KivtoolFailure, ModbusExceptionGivesItsCode)
{
    Sim sim({"--model", "7303", "--exception", "2"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"tc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kivtool: read TC channels 1..3 (KIV_ZRM_7303_TC_Read): Modbus exception 2, "
                     "illegal data address (KIV_ERR_EXCEPTION)\n");
    ToolRun json = run(sim, "7303", {"tc", "--json"});
    EXPECT_TRUE(has(json.out, "\"ok\":false,\"error\":{\"doing\":\"read TC channels 1..3\","
                              "\"call\":\"KIV_ZRM_7303_TC_Read\",\"code\":1002,"
                              "\"name\":\"KIV_ERR_EXCEPTION\",\"text\":\"Modbus exception\","
                              "\"exception_code\":2,\"exception_name\":\"illegal data address\"}}"))
        << json.out;
    // The outputs go through the generic calls, which hand the code on.
    ToolRun out = run(sim, "7303", {"do-set", "on"});
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.err, "kivtool: write DO channel 1 (KIV_DO_Write): Modbus exception 2, illegal "
                       "data address (KIV_ERR_EXCEPTION)\n");
    ToolRun read = run(sim, "7303", {"do", "--json"});
    EXPECT_TRUE(has(read.out, "\"call\":\"KIV_DO_Read\",\"code\":1002,\"name\":\"KIV_ERR_EXCEPTION\","
                              "\"text\":\"Modbus exception\",\"exception_code\":2,"))
        << read.out;
}

TEST(KivtoolFailure, DroppedConnectionIsDisconnected)
{
    Sim sim({"--model", "7302", "--close-after", "0"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7302", {"do"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "read DO channels 1..8 (KIV_DO_Read): ")) << r.err;
    // The library's own diagnostics stay off standard output.
    EXPECT_EQ(r.out, "");
}

TEST(KivtoolFailure, VerboseTracesTheCallsAndTheLibrarysLines)
{
    Sim sim({"--model", "7302", "--close-after", "0"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7302", {"-v", "do"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "kivtool: KIV_Connect (connect to 127.0.0.1:")) << r.err;
    EXPECT_TRUE(has(r.err, "kivtool: KIV_DO_Read (read DO channels 1..8): ")) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(KivtoolFailure, FullStandardOutputFails)
{
    Sim sim({"--model", "7301"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    std::vector<std::string> line = ports(sim);
    line.insert(line.end(), {"127.0.0.1", "7301", "ai"});
    Process p({"/bin/sh", "-c", "exec " + shell_words(kivtool_argv(line)) + " >/dev/full"});
    ASSERT_TRUE(p.finish(std::chrono::seconds(60)));
    EXPECT_EQ(p.status(), 1);
    EXPECT_EQ(p.err(), "kivtool: write to standard output: no space left on device (ENOSPC)\n");
}
