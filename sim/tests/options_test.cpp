// The command line: what scripts rely on (the ready line, the exit
// statuses, standard output holding nothing else) and the refusal of bad
// options.
#include "clients.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace simtest;

TEST(Help, ListsEveryOptionOnStdoutAndExitsZero)
{
    RunResult r = run_sim({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *opt : {"--model", "--address", "--modbus-port", "--config-port", "--password",
                            "--state", "--reboot-ms", "--ai ", "--tc ", "--di", "--do", "--sensor",
                            "--ai-en", "--tc-en", "--range", "--povp", "--delay-ms", "--exception",
                            "--close-after", "--config-ignore", "--idle-timeout", "--verbose", "--version",
                            "--slow-every", "--modules", "--plant", "--wall-clock",
                            "ready modbus"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    EXPECT_EQ(r.err, "");
}

TEST(Version, ProjectVersionOnStdoutAndExitsZero)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--version"}, {"--model", "7301", "--version"}}) {
        RunResult r = run_sim(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "zrm-sim " KIV_PROJECT_VERSION "\n");
        EXPECT_EQ(r.err, "");
    }
}

struct BadCase {
    const char *name;
    std::vector<std::string> args;
};

class BadOptions : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadOptions, ExitTwoWithOneMessageOnStderr)
{
    RunResult r = run_sim(GetParam().args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "") << "standard output is for the ready line only";
    EXPECT_EQ(r.err.rfind("zrm-sim: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(
    Refused, BadOptions,
    ::testing::Values(
        BadCase{"NoModel", {}},
        BadCase{"UnknownModel", {"--model", "7304"}},
        BadCase{"UnknownOption", {"--model", "7301", "--colour", "red"}},
        BadCase{"MissingValue", {"--model", "7301", "--ai"}},
        BadCase{"StrayArgument", {"--model", "7301", "extra"}},
        BadCase{"FlagWithValue", {"--model", "7301", "--verbose=1"}},
        BadCase{"VersionWithValue", {"--version=1"}},
        BadCase{"AddressNotIpv4", {"--model", "7301", "--address", "localhost"}},
        BadCase{"PortTooLarge", {"--model", "7301", "--modbus-port", "65536"}},
        BadCase{"SamePortTwice", {"--model", "7301", "--modbus-port", "1502", "--config-port", "1502"}},
        BadCase{"AiChannelZero", {"--model", "7301", "--ai", "0=1.5"}},
        BadCase{"AiChannelNine", {"--model", "7301", "--ai", "9=1.5"}},
        BadCase{"AiValueNotANumber", {"--model", "7301", "--ai", "1=abc"}},
        BadCase{"AiValueAboveSixteenBits", {"--model", "7301", "--ai", "1=65536.0"}},
        BadCase{"AiValueEmptyFraction", {"--model", "7301", "--ai", "1=12."}},
        BadCase{"AiOnThermocoupleModel", {"--model", "7303", "--ai", "1=1.0"}},
        BadCase{"TcReferenceAboveEightBits", {"--model", "7303", "--tc", "1=20.0,256.0"}},
        BadCase{"TcFaultsAboveByte", {"--model", "7303", "--tc", "1=20.0,24.0,0x100"}},
        BadCase{"TcChannelFour", {"--model", "7303", "--tc", "4=20.0"}},
        BadCase{"TcOnAnalogModel", {"--model", "7301", "--tc", "1=20.0"}},
        BadCase{"DiOnModelWithoutInputs", {"--model", "7301", "--di", "1"}},
        BadCase{"DiBeyondTwoInputs", {"--model", "7303", "--di", "4"}},
        BadCase{"DoBeyondOneOutput", {"--model", "7301", "--do", "2"}},
        BadCase{"DoBeyondEightOutputs", {"--model", "7302", "--do", "0x100"}},
        BadCase{"SensorRegister24", {"--model", "7302", "--sensor", "24=1"}},
        BadCase{"SensorOnAnalogModel", {"--model", "7301", "--sensor", "0=1"}},
        BadCase{"RangeCodeEleven", {"--model", "7301", "--range", "1=11"}},
        BadCase{"PowerOnValueAboveByte", {"--model", "7302", "--povp", "256"}},
        BadCase{"ExceptionZero", {"--model", "7302", "--exception", "0"}},
        BadCase{"ExceptionTwelve", {"--model", "7302", "--exception", "12"}},
        BadCase{"NegativeDelay", {"--model", "7302", "--delay-ms", "-1"}},
        BadCase{"CloseAfterNotANumber", {"--model", "7302", "--close-after", "x"}},
        BadCase{"TcEnableOnAnalogModel", {"--model", "7301", "--tc-en", "7"}},
        BadCase{"SlowEveryZero", {"--model", "7302", "--delay-ms", "100", "--slow-every", "0"}},
        BadCase{"ModulesZero", {"--model", "7302", "--modules", "0"}},
        BadCase{"ModulesBeyondTheLimit", {"--model", "7302", "--modules", "1001"}},
        BadCase{"WallClockWithValue", {"--model", "7302", "--wall-clock=1"}}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(BadOptionsMessage, UnknownOptionAtTheEndIsCalledUnknown)
{
    RunResult r = run_sim({"--model", "7301", "--frob"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "zrm-sim: unknown option --frob (see --help)\n");
}

TEST(ReadyLine, NamesModelAddressAndRealPortsAndStdoutStaysQuiet)
{
    Sim sim({"--model", "7302", "--verbose"});
    ASSERT_TRUE(sim.start()) << sim.error();
    EXPECT_EQ(sim.ready_line(), "zrm-sim 7302 ready modbus 127.0.0.1:" + std::to_string(sim.modbus_port()) +
                                    " config 127.0.0.1:" + std::to_string(sim.config_port()));
    EXPECT_NE(sim.modbus_port(), 0);
    EXPECT_NE(sim.config_port(), 0);
    EXPECT_NE(sim.modbus_port(), sim.config_port());
    {
        // Traffic on both services, logged on stderr only.
        RawModbus m(sim.modbus_port());
        EXPECT_EQ(m.exchange(hex("00 01 00 00 00 06 00 01 00 00 00 08")).size(), 10u);
        LineConn c(sim.config_port());
        EXPECT_TRUE(c.login());
        EXPECT_EQ(c.ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.more_stdout(), "");
    EXPECT_NE(sim.err().find("G:u8_povp="), std::string::npos) << sim.err();
}

TEST(ReadyLine, OtherLoopbackAddressIsServedThere)
{
    Sim sim({"--model", "7301", "--address", "127.0.0.7"});
    ASSERT_TRUE(sim.start()) << sim.error();
    EXPECT_NE(sim.ready_line().find("modbus 127.0.0.7:"), std::string::npos) << sim.ready_line();
    EXPECT_NE(sim.ready_line().find("config 127.0.0.7:"), std::string::npos) << sim.ready_line();
    LineConn c(sim.config_port(), "127.0.0.7");
    EXPECT_TRUE(c.login());
    EXPECT_LT(connect_to(sim.modbus_port(), 1s, "127.0.0.1"), 0) << "listens on the address given only";
}

TEST(Signals, SigintAndSigtermEndWithStatusZero)
{
    for (int sig : {SIGINT, SIGTERM}) {
        Sim sim({"--model", "7303"});
        ASSERT_TRUE(sim.start()) << sim.error();
        LineConn idle(sim.config_port());   // an open connection does not hold it up
        ASSERT_TRUE(idle.ok());
        EXPECT_EQ(sim.stop(sig), 0) << "signal " << sig;
    }
}

TEST(Startup, PortInUseIsReportedAndEndsTheRun)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    RunResult r = run_sim({"--model", "7301", "--modbus-port", std::to_string(ntohs(a.sin_port)),
                           "--config-port", "0"});
    ::close(fd);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot listen"), std::string::npos) << r.err;
}

TEST(Startup, StateFileOfAnotherModelIsRefused)
{
    char path[] = "/tmp/zrm-sim-state.XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path) << "model=7303\nu8_povp=1\ntc_en=3\n";
    RunResult r = run_sim({"--model", "7301", "--state", path});
    ::unlink(path);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("7303"), std::string::npos) << r.err;
}
