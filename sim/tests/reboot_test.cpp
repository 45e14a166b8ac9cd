// "S:save=1&reboot=1": the answer, the state file, every connection closed,
// new ones refused for the reboot time, then the saved settings and the
// power-on outputs; and the state file across runs.
#include "clients.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace simtest;

namespace {

// A state file path that does not exist yet, removed at the end.
struct StatePath {
    StatePath()
    {
        char name[] = "/tmp/zrm-sim-state.XXXXXX";
        int fd = ::mkstemp(name);
        ::close(fd);
        ::unlink(name);
        path = name;
    }
    ~StatePath()
    {
        ::unlink(path.c_str());
        ::unlink((path + ".tmp").c_str());
    }
    std::string text() const
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool exists() const { return ::access(path.c_str(), F_OK) == 0; }
    std::string path;
};

std::string save(LineConn &c)
{
    return c.ask("S:save=1&reboot=1\r\n");
}

} // namespace

TEST(SaveAndReboot, AnswersWritesClosesRefusesAndComesBackWithPowerOnOutputs)
{
    StatePath state;
    Sim sim({"--model", "7302", "--state", state.path, "--reboot-ms", "3000"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    // Outputs all on; the power-on value says 0x05.
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 08 00 0f 00 00 00 08 01 ff"))), "00 00 00 00 00 06 00 0f 00 00 00 08");
    LineConn c(sim.config_port()), other(sim.config_port());
    ASSERT_TRUE(c.login());
    ASSERT_TRUE(other.login());
    EXPECT_EQ(c.ask("S:u8_povp=5\r\n"), "A:u8_povp=5\r\n");

    EXPECT_EQ(save(c), "A:save=1&reboot=1\r\n");
    EXPECT_EQ(connect_to(sim.config_port()), -1) << "a connection right after the answer is refused";
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(connect_to(sim.modbus_port()), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_TRUE(other.closed_by_peer()) << "every configuration connection ends";
    EXPECT_TRUE(m.closed_by_peer()) << "and every Modbus connection";
    EXPECT_EQ(state.text(), "# zrm-sim saved settings\nmodel=7302\nu8_povp=5\n");

    ASSERT_TRUE(connect_within(sim.config_port(), 10s)) << "the module comes back";
    ASSERT_TRUE(connect_within(sim.modbus_port(), 10s));
    RawModbus after(sim.modbus_port());
    EXPECT_EQ(to_hex(after.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08"))), "00 00 00 00 00 04 00 01 01 05");
    LineConn again(sim.config_port());
    ASSERT_TRUE(again.login()) << "a new login is needed and works";
    EXPECT_EQ(again.ask("G:u8_povp=\r\n"), "A:u8_povp=5\r\n");
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SaveAndReboot, StateFileCarriesSettingsToTheNextRun)
{
    StatePath state;
    {
        Sim first({"--model", "7301", "--state", state.path, "--reboot-ms", "50"});
        ASSERT_TRUE(first.start()) << first.error();
        LineConn c(first.config_port());
        ASSERT_TRUE(c.login());
        EXPECT_EQ(c.ask("S:ai_en=-86\r\n"), "A:ai_en=-86\r\n");
        EXPECT_EQ(c.ask("S:ai_range_2=4\r\n"), "A:ai_range_2=4\r\n");
        EXPECT_EQ(c.ask("S:ai_pl=4\r\n"), "A:ai_pl=4\r\n");
        EXPECT_EQ(save(c).substr(0, 2), "A:");
        EXPECT_EQ(first.stop(), 0);
    }
    EXPECT_EQ(state.text(), "# zrm-sim saved settings\nmodel=7301\nu8_povp=0\nai_en=-86\nai_pl=4\n"
                            "ai_range_0=8\nai_range_1=8\nai_range_2=4\nai_range_3=8\nai_range_4=8\n"
                            "ai_range_5=8\nai_range_6=8\nai_range_7=8\n");
    Sim second({"--model", "7301", "--state", state.path});
    ASSERT_TRUE(second.start()) << second.error();
    LineConn c(second.config_port());
    ASSERT_TRUE(c.login());
    EXPECT_EQ(c.ask("G:ai_en=\r\n"), "A:ai_en=-86\r\n");
    EXPECT_EQ(c.ask("G:ai_range_2=\r\n"), "A:ai_range_2=4\r\n");
    EXPECT_EQ(c.ask("G:ai_pl=\r\n"), "A:ai_pl=4\r\n");

    Sim third({"--model", "7301", "--state", state.path, "--ai-en", "9"});
    ASSERT_TRUE(third.start()) << third.error();
    LineConn c3(third.config_port());
    ASSERT_TRUE(c3.login());
    EXPECT_EQ(c3.ask("G:ai_en=\r\n"), "A:ai_en=9\r\n") << "a start option wins over the saved value";
    EXPECT_EQ(c3.ask("G:ai_pl=\r\n"), "A:ai_pl=4\r\n");
}

TEST(SaveAndReboot, UnsavedSettingsAreNotWritten)
{
    StatePath state;
    Sim sim({"--model", "7303", "--state", state.path});
    ASSERT_TRUE(sim.start()) << sim.error();
    {
        LineConn c(sim.config_port());
        ASSERT_TRUE(c.login());
        EXPECT_EQ(c.ask("S:tc_en=1\r\n"), "A:tc_en=1\r\n");
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(state.exists());
}

TEST(SaveAndReboot, WithoutStateFileSettingsSurviveTheReboot)
{
    Sim sim({"--model", "7303", "--reboot-ms", "50", "--do", "1"});
    ASSERT_TRUE(sim.start()) << sim.error();
    {
        LineConn c(sim.config_port());
        ASSERT_TRUE(c.login());
        EXPECT_EQ(c.ask("S:tc_en=6\r\n"), "A:tc_en=6\r\n");
        EXPECT_EQ(save(c).substr(0, 2), "A:");
        EXPECT_TRUE(c.closed_by_peer());
    }
    ASSERT_TRUE(connect_within(sim.config_port(), 10s));
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.login());
    EXPECT_EQ(c.ask("G:tc_en=\r\n"), "A:tc_en=6\r\n");
    ModbusClient m(sim.modbus_port());
    std::vector<std::uint8_t> bits;
    ASSERT_EQ(m.read_bits(0, 1, bits), 1);
    EXPECT_EQ(bits[0], 0) << "after the reboot the output is at u8_povp, not at --do";
}

TEST(SaveAndReboot, FailedSaveIsReportedAndTheSavedSettingsComeBack)
{
    char dir[] = "/tmp/zrm-sim-dir.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/state";
    std::ofstream(path) << "model=7302\nu8_povp=3\n";
    Sim sim({"--model", "7302", "--state", path, "--reboot-ms", "50"});
    ASSERT_TRUE(sim.start()) << sim.error();
    // The file and its directory go away under it, so the save cannot write.
    ::unlink(path.c_str());
    ::rmdir(dir);
    {
        LineConn c(sim.config_port());
        ASSERT_TRUE(c.login());
        EXPECT_EQ(c.ask("S:u8_povp=5\r\n"), "A:u8_povp=5\r\n");
        EXPECT_EQ(save(c), "E:save failed\r\n");
        EXPECT_TRUE(c.closed_by_peer()) << "it reboots all the same";
    }
    EXPECT_NE(sim.err().find(path), std::string::npos) << sim.err();
    ASSERT_TRUE(connect_within(sim.config_port(), 10s));
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.login());
    EXPECT_EQ(c.ask("G:u8_povp=\r\n"), "A:u8_povp=3\r\n") << "the value saved before, not the unsaved one";
}

TEST(StateFile, CrLfLinesAreRead)
{
    StatePath state;
    std::ofstream(state.path) << "# edited elsewhere\r\nmodel=7303\r\ntc_en=5\r\n";
    Sim sim({"--model", "7303", "--state", state.path});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.login());
    EXPECT_EQ(c.ask("G:tc_en=\r\n"), "A:tc_en=5\r\n");
}

TEST(StateFile, EmptyFileMeansNothingSavedYetAndIsFilledBySave)
{
    StatePath state;
    std::ofstream(state.path) << "";
    Sim sim({"--model", "7302", "--state", state.path, "--reboot-ms", "50"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.login());
    EXPECT_EQ(c.ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    EXPECT_EQ(c.ask("S:u8_povp=9\r\n"), "A:u8_povp=9\r\n");
    EXPECT_EQ(save(c), "A:save=1&reboot=1\r\n");
    EXPECT_EQ(state.text(), "# zrm-sim saved settings\nmodel=7302\nu8_povp=9\n");
}

TEST(StateFile, DamagedFileIsRefusedNamingFileLineAndReason)
{
    StatePath state;
    struct Case {
        std::string text, reason;
    };
    for (const Case &k : {Case{std::string("model=73\0" "01\n", 9), "line 1: control byte 0x00 (NUL) at column 9"},
                          Case{"model=7301\nai_en=twelve\n", "line 2: bad value \"twelve\" for ai_en"},
                          Case{"model=7301\n\nai_en\n", "line 3: expected key=value"},
                          Case{"# nothing else\n", "no model= line"}}) {
        std::ofstream(state.path, std::ios::binary) << k.text;
        RunResult r = run_sim({"--model", "7301", "--state", state.path});
        EXPECT_EQ(r.status, 2) << k.reason;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("state file " + state.path), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(k.reason), std::string::npos) << r.err;
    }
}
