// kivtool's configuration commands against zrm-sim: enable bits, AI ranges
// by code and by label, the power-on value, save, with and without a
// password.
#include "tool_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

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

} // namespace

TEST(KivtoolConfig, AiEnableBitsReadAndSet)
{
    Sim sim({"--model", "7301", "--ai-en", "0xff"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun set = run(sim, "7301", {"enable-mask", "0x55"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(run(sim, "7301", {"enable-set", "2", "on"}).status, 0);
    ToolRun r = run(sim, "7301", {"enable", "1", "4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "channel  enabled\n1        yes\n2        yes\n3        yes\n4        no\n");
    EXPECT_EQ(run(sim, "7301", {"enable", "--json"}).out,
              "{\"address\":\"127.0.0.1\",\"model\":7301,\"command\":\"enable\",\"ok\":true,"
              "\"first\":1,\"count\":8,\"mask\":87,\"channels\":[{\"channel\":1,\"enabled\":true},"
              "{\"channel\":2,\"enabled\":true},{\"channel\":3,\"enabled\":true},"
              "{\"channel\":4,\"enabled\":false},{\"channel\":5,\"enabled\":true},"
              "{\"channel\":6,\"enabled\":false},{\"channel\":7,\"enabled\":true},"
              "{\"channel\":8,\"enabled\":false}]}\n");
}

TEST(KivtoolConfig, TcEnableBitsReadAndSet)
{
    Sim sim({"--model", "7303", "--tc-en", "0x7"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    EXPECT_EQ(run(sim, "7303", {"enable-set", "2", "off"}).out, "channel  enabled\n2        no\n");
    EXPECT_EQ(run(sim, "7303", {"enable"}).out,
              "channel  enabled\n1        yes\n2        no\n3        yes\n");
}

TEST(KivtoolConfig, RangesByCodeAndByLabel)
{
    Sim sim({"--model", "7301", "--range", "1=0", "--range", "2=1", "--range", "8=7"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun before = run(sim, "7301", {"range", "1", "2"});
    EXPECT_EQ(before.status, 0) << before.err;
    EXPECT_EQ(before.out, "channel  code  range       span\n"
                          "1        0     -150~150mV  -150..+150 mV\n"
                          "2        1     0~150mV     0..150 mV\n");
    ToolRun set = run(sim, "7301", {"range-set", "3", "0~10V", "0~20mA", "5", "-10~10v"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "channel  code  range    span\n"
                       "3        9     0~10V    0..10 V\n"
                       "4        10    0~20mA   0..20 mA\n"
                       "5        5     0~1V     0..1 V\n"
                       "6        8     -10~10V  -10..+10 V\n");
    ToolRun after = run(sim, "7301", {"range", "3", "--json"});
    EXPECT_EQ(after.out,
              "{\"address\":\"127.0.0.1\",\"model\":7301,\"command\":\"range\",\"ok\":true,"
              "\"first\":3,\"count\":6,\"channels\":[{\"channel\":3,\"code\":9,\"label\":\"0~10V\"},"
              "{\"channel\":4,\"code\":10,\"label\":\"0~20mA\"},{\"channel\":5,\"code\":5,\"label\":\"0~1V\"},"
              "{\"channel\":6,\"code\":8,\"label\":\"-10~10V\"},{\"channel\":7,\"code\":8,\"label\":\"-10~10V\"},"
              "{\"channel\":8,\"code\":7,\"label\":\"0~5V\"}]}\n");
}

TEST(KivtoolConfig, PowerOnValueOfEachModel)
{
    for (const char *model : {"7301", "7302", "7303"}) {
        Sim sim({"--model", model, "--povp", "0"});
        ASSERT_TRUE(sim.ready()) << model << sim.ready_line;
        const bool eight = std::string(model) == "7302";
        ToolRun set = run(sim, model, {"povp-set", eight ? "0x81" : "1"});
        EXPECT_EQ(set.status, 0) << model << set.err;
        ToolRun r = run(sim, model, {"povp", "--json"});
        EXPECT_EQ(r.status, 0) << model << r.err;
        EXPECT_NE(r.out.find(eight ? "\"count\":8,\"mask\":129," : "\"count\":1,\"mask\":1,"),
                  std::string::npos)
            << model << r.out;
    }
}

TEST(KivtoolConfig, PasswordOpensTheDialogue)
{
    Sim sim({"--model", "7303", "--password", "secret"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"--password", "secret", "enable"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "channel  enabled\n1        yes\n2        yes\n3        yes\n");
}

TEST(KivtoolConfig, SaveHasTheModuleRestart)
{
    Sim sim({"--model", "7301"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7301", {"save"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "settings saved; the module restarts\n");
}

TEST(KivtoolConfig, SaveOptionAfterASetting)
{
    Sim sim({"--model", "7303", "--tc-en", "0x7"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"--save", "--json", "enable-set", "3", "off"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"address\":\"127.0.0.1\",\"model\":7303,\"command\":\"enable-set\",\"ok\":true,"
                     "\"first\":3,\"count\":1,\"mask\":0,\"channels\":[{\"channel\":3,\"enabled\":false}],"
                     "\"saved\":true}\n");
}

TEST(KivtoolConfig, SlowSaveIsConfirmedWithinTheTimeout)
{
    const std::string state = ::testing::TempDir() + "kivtool-slow-save.state";
    std::remove(state.c_str());
    Sim sim({"--model", "7301", "--delay-ms", "150", "--state", state});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7301", {"-t", "5000", "enable-set", "3", "off", "--save", "--verify"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "channel  enabled\n3        no\nsettings saved; the module restarts\n"
                     "read back after the restart: as written\n");
    std::ifstream f(state);
    bool saved = false;
    for (std::string l; std::getline(f, l);)
        saved = saved || l == "ai_en=251";
    EXPECT_TRUE(saved) << "the state file lacks ai_en=251";
    std::remove(state.c_str());
}

TEST(KivtoolConfig, SaveWithoutAnAnswerIsNotConfirmed)
{
    Sim sim({"--model", "7301", "--config-ignore", "save"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7301", {"-t", "200", "--json", "save"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"saved\":null"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "kivtool: save the settings (request_response): timeout (KIV_ERR_TIMEOUT); no "
                     "answer within 200 ms; the save is not confirmed: the module may have saved "
                     "and restarted; read the setting back to know\n");
}

TEST(KivtoolConfig, PartialRangeWriteSaysWhatWasWritten)
{
    // The module's keys count from 0: ai_range_2 is channel 3.
    Sim sim({"--model", "7301", "--config-ignore", "ai_range_2"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7301", {"-t", "200", "range-set", "1", "9", "9", "9", "9", "--save"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("set the range of AI channel 3 (KIV_Cfg_ZRM_7301_Set_AI_Range): "),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("; AI channels 1..2 written; AI channel 4 not tried\n"), std::string::npos)
        << r.err;
    ToolRun written = run(sim, "7301", {"range", "1", "2"});
    EXPECT_NE(written.out.find("2        9     0~10V"), std::string::npos) << written.out;
}
