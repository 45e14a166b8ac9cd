// The configuration service after the login: the keys of each model with
// their defaults, round trips, the form of echoes and error lines, line
// handling, and the effect of the settings on the Modbus side.
#include "clients.h"
#include "sim_process.h"

#include <gtest/gtest.h>

using namespace simtest;

namespace {

// A logged-in dialogue with a fresh simulator.
class Dialogue : public ::testing::Test {
protected:
    void open(std::vector<std::string> args)
    {
        sim = std::make_unique<Sim>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
        c = std::make_unique<LineConn>(sim->config_port());
        ASSERT_TRUE(c->login());
    }
    std::string ask(std::string_view line) { return c->ask(line); }

    // An error line: present, a line, and no answer prefix for key.
    void expect_error(std::string_view request, std::string_view key)
    {
        std::string a = ask(request);
        EXPECT_NE(a, "<no answer>") << request;
        EXPECT_EQ(a.substr(0, 2), "E:") << request << " -> " << a;
        EXPECT_NE(a.rfind("A:" + std::string(key) + "=", 0), 0u) << request << " -> " << a;
    }

    std::unique_ptr<Sim> sim;
    std::unique_ptr<LineConn> c;
};

using Config7301 = Dialogue;
using Config7302 = Dialogue;
using Config7303 = Dialogue;
using Lines = Dialogue;
using Effects = Dialogue;

} // namespace

TEST_F(Config7301, DefaultsLookLikeAFreshModule)
{
    open({"--model", "7301"});
    EXPECT_EQ(ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    EXPECT_EQ(ask("G:ai_en=\r\n"), "A:ai_en=255\r\n");
    EXPECT_EQ(ask("G:ai_pl=\r\n"), "A:ai_pl=0\r\n");
    for (int n = 0; n < 8; ++n)
        EXPECT_EQ(ask("G:ai_range_" + std::to_string(n) + "=\r\n"), "A:ai_range_" + std::to_string(n) + "=8\r\n");
    expect_error("G:tc_en=\r\n", "tc_en");
    expect_error("G:ai_range_8=\r\n", "ai_range_8");
    expect_error("G:ai_range_01=\r\n", "ai_range_01");
    expect_error("G:ai_range_=\r\n", "ai_range_");
    expect_error("G:AI_EN=\r\n", "AI_EN");
}

TEST_F(Config7302, OnlyThePowerOnValue)
{
    open({"--model", "7302"});
    EXPECT_EQ(ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    EXPECT_EQ(ask("S:u8_povp=165\r\n"), "A:u8_povp=165\r\n");
    EXPECT_EQ(ask("G:u8_povp=\r\n"), "A:u8_povp=165\r\n");
    expect_error("G:ai_en=\r\n", "ai_en");
    expect_error("G:tc_en=\r\n", "tc_en");
    expect_error("S:ai_range_0=8\r\n", "ai_range_0");
}

TEST_F(Config7303, ThermocoupleEnableAndPowerOnValue)
{
    open({"--model", "7303"});
    EXPECT_EQ(ask("G:tc_en=\r\n"), "A:tc_en=7\r\n");
    EXPECT_EQ(ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    EXPECT_EQ(ask("S:tc_en=2\r\n"), "A:tc_en=2\r\n");
    EXPECT_EQ(ask("G:tc_en=\r\n"), "A:tc_en=2\r\n");
    expect_error("G:ai_en=\r\n", "ai_en");
    expect_error("G:ai_pl=\r\n", "ai_pl");
}

TEST_F(Config7301, RoundTripsOfEveryKey)
{
    open({"--model", "7301"});
    EXPECT_EQ(ask("S:ai_en=85\r\n"), "A:ai_en=85\r\n");
    EXPECT_EQ(ask("G:ai_en=\r\n"), "A:ai_en=85\r\n");
    EXPECT_EQ(ask("S:ai_pl=255\r\n"), "A:ai_pl=255\r\n");
    EXPECT_EQ(ask("G:ai_pl=\r\n"), "A:ai_pl=255\r\n");
    EXPECT_EQ(ask("S:u8_povp=1\r\n"), "A:u8_povp=1\r\n");
    EXPECT_EQ(ask("G:u8_povp=\r\n"), "A:u8_povp=1\r\n");
    for (int n = 0; n < 8; ++n) {
        std::string key = "ai_range_" + std::to_string(n);
        std::string v = std::to_string((2 * n) % 12);
        EXPECT_EQ(ask("S:" + key + "=" + v + "\r\n"), "A:" + key + "=" + v + "\r\n");
        EXPECT_EQ(ask("G:" + key + "=\r\n"), "A:" + key + "=" + v + "\r\n");
    }
    EXPECT_EQ(ask("G:ai_range_0=\r\n"), "A:ai_range_0=0\r\n");
    EXPECT_EQ(ask("G:ai_range_5=\r\n"), "A:ai_range_5=10\r\n");
}

TEST_F(Config7301, SignedPatternsEchoAsWrittenWithoutLeadingZeros)
{
    open({"--model", "7301"});
    // The library writes with "%d": every int comes back in that same form.
    EXPECT_EQ(ask("S:ai_en=-1\r\n"), "A:ai_en=-1\r\n");
    EXPECT_EQ(ask("G:ai_en=\r\n"), "A:ai_en=-1\r\n");
    EXPECT_EQ(ask("S:ai_pl=-2147483648\r\n"), "A:ai_pl=-2147483648\r\n");
    EXPECT_EQ(ask("S:ai_en=2147483647\r\n"), "A:ai_en=2147483647\r\n");
    EXPECT_EQ(ask("S:ai_en=012\r\n"), "A:ai_en=12\r\n") << "stored 12, written back without the zero";
    EXPECT_EQ(ask("S:ai_range_3=0010\r\n"), "A:ai_range_3=10\r\n");
    EXPECT_EQ(ask("S:ai_en=-0\r\n"), "A:ai_en=0\r\n");
}

TEST_F(Config7301, OutOfRangeAndMalformedValuesAreRefusedAndChangeNothing)
{
    open({"--model", "7301"});
    expect_error("S:u8_povp=256\r\n", "u8_povp");
    expect_error("S:u8_povp=-1\r\n", "u8_povp");
    expect_error("S:ai_range_0=3\r\n", "ai_range_0");
    expect_error("S:ai_range_0=11\r\n", "ai_range_0");
    expect_error("S:ai_range_0=12\r\n", "ai_range_0");
    expect_error("S:ai_range_0=-2\r\n", "ai_range_0");
    expect_error("S:ai_en=2147483648\r\n", "ai_en");
    expect_error("S:ai_en=\r\n", "ai_en");
    expect_error("S:ai_en=1x\r\n", "ai_en");
    expect_error("S:ai_en=+1\r\n", "ai_en");
    expect_error("S:ai_en= 1\r\n", "ai_en");
    expect_error("S:ai_en=0x10\r\n", "ai_en");
    expect_error("S:nope=1\r\n", "nope");
    EXPECT_EQ(ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    EXPECT_EQ(ask("G:ai_range_0=\r\n"), "A:ai_range_0=8\r\n");
    EXPECT_EQ(ask("G:ai_en=\r\n"), "A:ai_en=255\r\n");
}

TEST_F(Lines, MalformedRequestsGetErrorLinesAndTheDialogueGoesOn)
{
    open({"--model", "7303"});
    expect_error("X:tc_en=\r\n", "tc_en");
    expect_error("G:tc_en\r\n", "tc_en");
    expect_error("G:tc_en=5\r\n", "tc_en");
    expect_error("G:=\r\n", "");
    expect_error("L:\r\n", "L");
    expect_error("\r\n", "");
    expect_error("S:save=1\r\n", "save");
    EXPECT_EQ(ask("G:tc_en=\r\n"), "A:tc_en=7\r\n");
}

TEST_F(Lines, SeveralLinesInOneSegmentAreAnsweredEachInOrder)
{
    open({"--model", "7301"});
    ASSERT_TRUE(c->send("G:ai_en=\r\nS:ai_en=3\r\nG:nope=\r\nG:ai_en=\r\n"));
    EXPECT_EQ(c->line().value_or(""), "A:ai_en=255\r\n");
    EXPECT_EQ(c->line().value_or(""), "A:ai_en=3\r\n");
    EXPECT_EQ(c->line().value_or("").substr(0, 2), "E:");
    EXPECT_EQ(c->line().value_or(""), "A:ai_en=3\r\n");
    EXPECT_TRUE(c->silent_for(50ms));
}

TEST_F(Lines, LineSplitOverSegmentsIsAnsweredOnceWhole)
{
    open({"--model", "7301"});
    ASSERT_TRUE(c->send("G:ai"));
    ASSERT_TRUE(c->send("_en=\r"));
    EXPECT_TRUE(c->silent_for(100ms)) << "a line ends only with CR LF";
    EXPECT_EQ(ask("\n"), "A:ai_en=255\r\n");
    // The tail of one line and the start of the next in one segment.
    ASSERT_TRUE(c->send("G:u8_"));
    EXPECT_EQ(ask("povp=\r\nG:ai_"), "A:u8_povp=0\r\n");
    EXPECT_EQ(ask("pl=\r\n"), "A:ai_pl=0\r\n");
}

TEST_F(Lines, EndlessLineIsRefusedAndClosed)
{
    open({"--model", "7302"});
    ASSERT_TRUE(c->send(std::string(600, 'G')));
    EXPECT_EQ(c->line().value_or("").substr(0, 2), "E:");
    EXPECT_TRUE(c->closed_by_peer());
}

TEST(ConfigClients, SeveralDialoguesAtOnceShareTheModule)
{
    Sim sim({"--model", "7301"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn a(sim.config_port()), b(sim.config_port());
    ASSERT_TRUE(a.login());
    ASSERT_TRUE(b.login());
    LineConn waiting(sim.config_port());   // connected, not yet logged in
    EXPECT_EQ(a.ask("S:ai_en=15\r\n"), "A:ai_en=15\r\n");
    EXPECT_EQ(b.ask("G:ai_en=\r\n"), "A:ai_en=15\r\n");
    EXPECT_TRUE(waiting.login());
    EXPECT_EQ(waiting.ask("G:ai_en=\r\n"), "A:ai_en=15\r\n");
}

TEST(ConfigClients, ThirtyTwoAtOnceAndTheNextIsTurnedAway)
{
    Sim sim({"--model", "7303"});
    ASSERT_TRUE(sim.start()) << sim.error();
    std::vector<std::unique_ptr<LineConn>> open;
    for (int i = 0; i < 32; ++i) {
        open.push_back(std::make_unique<LineConn>(sim.config_port()));
        ASSERT_TRUE(open.back()->login()) << "connection " << i + 1;
    }
    LineConn extra(sim.config_port());
    EXPECT_TRUE(extra.closed_by_peer());
    open.pop_back();
    // Once a place is free (the server notices the close), a client gets in.
    bool in = false;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!in && std::chrono::steady_clock::now() < deadline) {
        LineConn again(sim.config_port());
        in = again.login();
    }
    EXPECT_TRUE(in);
    EXPECT_EQ(open.front()->ask("G:tc_en=\r\n"), "A:tc_en=7\r\n");
}

TEST_F(Effects, EnableBitsChangeTheRecords)
{
    open({"--model", "7301", "--ai", "1=1.5", "--ai", "2=2.5"});
    ModbusClient m(sim->modbus_port());
    std::vector<std::uint16_t> r;
    ASSERT_EQ(m.read_registers(256, 6, r), 6);
    EXPECT_EQ(r, (std::vector<std::uint16_t>{0x0100, 1, 5, 0x0100, 2, 5}));
    EXPECT_EQ(ask("S:ai_en=-2\r\n"), "A:ai_en=-2\r\n");   // every bit but channel 1's
    ASSERT_EQ(m.read_registers(256, 6, r), 6);
    EXPECT_EQ(r, (std::vector<std::uint16_t>{0x0000, 1, 5, 0x0100, 2, 5}));
}

TEST_F(Effects, ThermocoupleEnableChangesTheRecords)
{
    open({"--model", "7303", "--tc", "1=20.0", "--tc", "2=21.0", "--tc", "3=22.0"});
    EXPECT_EQ(ask("S:tc_en=2\r\n"), "A:tc_en=2\r\n");
    ModbusClient m(sim->modbus_port());
    std::vector<std::uint16_t> r;
    ASSERT_EQ(m.read_registers(512, 15, r), 15);
    EXPECT_EQ(r[0], 0x0000);
    EXPECT_EQ(r[1], 20) << "a disabled channel keeps its value";
    EXPECT_EQ(r[5], 0x0100);
    EXPECT_EQ(r[6], 21);
    EXPECT_EQ(r[10], 0x0000);
}

TEST_F(Effects, RangeAndPolarityBoundTheLiveValue)
{
    open({"--model", "7301"});
    // Channel 6 to 0..20 mA, channel 7 to 0..150 mV (base 0 with its
    // polarity bit); both start in the lower half of their swing.
    EXPECT_EQ(ask("S:ai_range_5=10\r\n"), "A:ai_range_5=10\r\n");
    EXPECT_EQ(ask("S:ai_range_6=0\r\n"), "A:ai_range_6=0\r\n");
    EXPECT_EQ(ask("S:ai_pl=96\r\n"), "A:ai_pl=96\r\n");
    ModbusClient m(sim->modbus_port());
    std::vector<std::uint16_t> r;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(m.read_registers(271, 6, r), 6);
        EXPECT_EQ(r[0], 0x0100) << "unipolar ranges are never negative";
        EXPECT_LE(r[1], 20);
        EXPECT_EQ(r[3], 0x0100);
        EXPECT_LE(r[4], 150);
    }
}

TEST_F(Effects, StartOptionsAreWhatTheServiceReports)
{
    open({"--model", "7301", "--ai-en", "0x0f", "--povp", "1", "--range", "1=10", "--range", "2=3",
          "--range", "3=4"});
    EXPECT_EQ(ask("G:ai_en=\r\n"), "A:ai_en=15\r\n");
    EXPECT_EQ(ask("G:u8_povp=\r\n"), "A:u8_povp=1\r\n");
    EXPECT_EQ(ask("G:ai_range_0=\r\n"), "A:ai_range_0=10\r\n");
    EXPECT_EQ(ask("G:ai_range_1=\r\n"), "A:ai_range_1=2\r\n");
    EXPECT_EQ(ask("G:ai_range_2=\r\n"), "A:ai_range_2=4\r\n");
    EXPECT_EQ(ask("G:ai_pl=\r\n"), "A:ai_pl=3\r\n") << "codes 10 and 3 are unipolar, 4 is not";
}

TEST_F(Effects, MaskStartOptionAcceptsThirtyTwoBitPattern)
{
    open({"--model", "7303", "--tc-en", "0xffffffff"});
    EXPECT_EQ(ask("G:tc_en=\r\n"), "A:tc_en=-1\r\n");
}
