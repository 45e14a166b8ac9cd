// The fault switches: reply delay, exception for every request, closing
// after N requests, unanswered configuration keys; and the verbose log.
#include "clients.h"
#include "sim_process.h"

#include <gtest/gtest.h>

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

long ms_since(Clock::time_point t0)
{
    return static_cast<long>(std::chrono::duration_cast<Ms>(Clock::now() - t0).count());
}

} // namespace

TEST(Delay, EveryAnswerOfBothServicesIsHeldBack)
{
    Sim sim({"--model", "7302", "--delay-ms", "400"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    auto t0 = Clock::now();
    EXPECT_EQ(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08")).size(), 10u);
    EXPECT_GE(ms_since(t0), 390);

    LineConn c(sim.config_port());
    t0 = Clock::now();
    ASSERT_TRUE(c.login());
    EXPECT_GE(ms_since(t0), 390) << "the login answer too";
    t0 = Clock::now();
    EXPECT_EQ(c.ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    EXPECT_GE(ms_since(t0), 390);
}

TEST(Exception, EveryModbusRequestGetsTheCode)
{
    Sim sim({"--model", "7302", "--exception", "4"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08"))), "00 00 00 00 00 03 00 81 04");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 02 00 00 00 10"))), "00 00 00 00 00 03 00 82 04");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 03 00 00 00 18"))), "00 00 00 00 00 03 00 83 04");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 05 00 01 ff 00"))), "00 00 00 00 00 03 00 85 04");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 08 00 0f 00 00 00 08 01 55"))), "00 00 00 00 00 03 00 8f 04");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 63 00 01"))), "00 00 00 00 00 03 00 81 04")
        << "outside the map as well";
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08"))), "00 00 00 00 00 03 00 81 04")
        << "the write did not happen";
}

TEST(CloseAfter, ModbusConnectionEndsAfterNAnswers)
{
    Sim sim({"--model", "7301", "--close-after", "2"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 01")).size(), 10u);
    EXPECT_EQ(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 01")).size(), 10u);
    EXPECT_TRUE(m.closed_by_peer());
    RawModbus next(sim.modbus_port());
    EXPECT_EQ(next.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 01")).size(), 10u) << "counted per connection";
}

TEST(CloseAfter, ConfigConnectionCountsTheLoginLine)
{
    Sim sim({"--model", "7301", "--close-after", "2"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.login());
    EXPECT_EQ(c.ask("G:ai_en=\r\n"), "A:ai_en=255\r\n");
    EXPECT_TRUE(c.closed_by_peer());
}

TEST(CloseAfter, ZeroClosesBeforeAnyAnswer)
{
    Sim sim({"--model", "7303", "--close-after", "0"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_TRUE(m.closed_by_peer());
    LineConn c(sim.config_port());
    EXPECT_TRUE(c.closed_by_peer());
}

TEST(ConfigIgnore, NamedKeyGetsNoAnswerAndOthersGoOn)
{
    Sim sim({"--model", "7301", "--config-ignore", "ai_en", "--config-ignore", "ai_range_3", "--ai", "1=1.0"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.login());
    ASSERT_TRUE(c.send("G:ai_en=\r\n"));
    EXPECT_TRUE(c.silent_for(300ms));
    EXPECT_EQ(c.ask("G:ai_range_2=\r\n"), "A:ai_range_2=8\r\n") << "the next answer is the next request's";
    ASSERT_TRUE(c.send("G:ai_range_3=\r\n"));
    EXPECT_TRUE(c.silent_for(100ms));
    ASSERT_TRUE(c.send("S:ai_en=0\r\n"));
    EXPECT_TRUE(c.silent_for(100ms));
    ModbusClient m(sim.modbus_port());
    std::vector<std::uint16_t> r;
    ASSERT_EQ(m.read_registers(256, 3, r), 3);
    EXPECT_EQ(r[0], 0x0100) << "an unanswered write is not taken";
}

TEST(ConfigIgnore, LoginAndSaveCanBeIgnored)
{
    Sim sim({"--model", "7302", "--config-ignore", "login"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.send("L:\r\n"));
    EXPECT_TRUE(c.silent_for(300ms));

    Sim sim2({"--model", "7302", "--config-ignore", "save"});
    ASSERT_TRUE(sim2.start()) << sim2.error();
    LineConn c2(sim2.config_port());
    ASSERT_TRUE(c2.login());
    ASSERT_TRUE(c2.send("S:save=1&reboot=1\r\n"));
    EXPECT_TRUE(c2.silent_for(300ms));
    EXPECT_EQ(c2.ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n") << "no reboot happened";
}

TEST(Verbose, RequestsAndAnswersOfBothServicesOnStderr)
{
    Sim sim({"--model", "7302", "--do", "0x3c", "-v"});
    ASSERT_TRUE(sim.start()) << sim.error();
    {
        RawModbus m(sim.modbus_port());
        EXPECT_EQ(m.exchange(hex("00 07 00 00 00 06 00 01 00 00 00 08")).size(), 10u);
        LineConn c(sim.config_port());
        ASSERT_TRUE(c.login());
        EXPECT_EQ(c.ask("G:nope=\r\n").substr(0, 2), "E:");
    }
    EXPECT_EQ(sim.stop(), 0);
    std::string err = sim.err();
    EXPECT_NE(err.find("<- 00 07 00 00 00 06 00 01 00 00 00 08"), std::string::npos) << err;
    EXPECT_NE(err.find("-> 00 07 00 00 00 04 00 01 01 3c"), std::string::npos) << err;
    EXPECT_NE(err.find("<- \"L:\\r\\n\""), std::string::npos) << err;
    EXPECT_NE(err.find("-> \"A:LoginOK\\r\\n\""), std::string::npos) << err;
    EXPECT_NE(err.find("<- \"G:nope=\\r\\n\""), std::string::npos) << err;
    EXPECT_EQ(sim.more_stdout(), "");
}

TEST(Verbose, QuietWithoutIt)
{
    Sim sim({"--model", "7302"});
    ASSERT_TRUE(sim.start()) << sim.error();
    {
        RawModbus m(sim.modbus_port());
        EXPECT_EQ(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08")).size(), 10u);
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.err(), "");
}
