// kivtool's help, and the arguments it refuses before it sends anything:
// status 2, a message on standard error, nothing on standard output and no
// connection to the module's ports.
#include "tool_process.h"

#include <gtest/gtest.h>

using namespace kivtest;

namespace {

const char *const commands[] = {"ai",          "tc",    "di",        "do",   "do-set",
                                "do-mask",     "sensors", "enable",  "enable-set",
                                "enable-mask", "range", "range-set", "povp", "povp-set",
                                "save",        "poll"};

} // namespace

TEST(KivtoolHelp, ToolHelpListsEveryCommandAndTheJsonShape)
{
    ToolRun r = kivtool({"--help"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Usage: kivtool [OPTIONS] ADDRESS MODEL COMMAND [ARGS]"), std::string::npos);
    for (const char *c : commands)
        EXPECT_NE(r.out.find(std::string("\n  ") + c), std::string::npos) << c;
    EXPECT_NE(r.out.find("JSON (--json)"), std::string::npos);
    EXPECT_NE(r.out.find("Exit status"), std::string::npos);
    EXPECT_NE(r.out.find("--version"), std::string::npos);
}

// The project's version, whatever else is on the line; the man page is
// made from this and --help.
TEST(KivtoolHelp, VersionOnStandardOutput)
{
    for (const std::vector<std::string> &line :
         {std::vector<std::string>{"--version"}, {"--version", "127.0.0.1", "7303", "tc"}}) {
        ToolRun r = kivtool(line);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "kivtool " KIV_PROJECT_VERSION "\n");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(kivtool({"--verbose=maybe", "--version"}).status, 2);
}

TEST(KivtoolHelp, EveryCommandHasItsOwnHelp)
{
    for (const char *c : commands) {
        const std::string usage = std::string("Usage: kivtool [OPTIONS] ADDRESS MODEL ") + c;
        ToolRun by_word = kivtool({"help", c});
        EXPECT_EQ(by_word.status, 0) << c << by_word.err;
        EXPECT_EQ(by_word.out.rfind(usage, 0), 0u) << by_word.out;
        EXPECT_NE(by_word.out.find("Example: kivtool"), std::string::npos) << c;
        ToolRun by_option = kivtool({"127.0.0.1", "7303", c, "--help"});
        EXPECT_EQ(by_option.status, 0) << c;
        EXPECT_EQ(by_option.out, by_word.out) << c;
    }
}

TEST(KivtoolHelp, HelpOfNoCommandIsAUsageError)
{
    ToolRun r = kivtool({"help", "frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no command frobnicate"), std::string::npos) << r.err;
}

struct BadLine {
    const char *name;
    std::vector<std::string> args; // after ADDRESS (127.0.0.1), or the whole line
    const char *message;
    bool whole_line = false;
};

void PrintTo(const BadLine &b, std::ostream *os)
{
    *os << b.name;
}

class KivtoolRefuses : public ::testing::TestWithParam<BadLine> {};

TEST_P(KivtoolRefuses, BeforeAnythingIsSent)
{
    Listener module;
    const BadLine &b = GetParam();
    std::vector<std::string> args = {"--modbus-port", std::to_string(module.port()),
                                     "--config-port", std::to_string(module.port())};
    if (!b.whole_line)
        args.push_back("127.0.0.1");
    args.insert(args.end(), b.args.begin(), b.args.end());
    ToolRun r = kivtool(args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(b.message), std::string::npos) << r.err;
    EXPECT_FALSE(module.connected()) << "kivtool connected to the module";
}

INSTANTIATE_TEST_SUITE_P(
    BadLines, KivtoolRefuses,
    ::testing::Values(
        BadLine{"TcChannelPastTheLast", {"7303", "tc", "4"}, "channel 4 is out of range: ZRM-7303 has TC channels 1..3"},
        BadLine{"TcChannelZero", {"7303", "tc", "0"}, "channel 0 is out of range"},
        BadLine{"TcCountPastTheLast", {"7303", "tc", "2", "3"}, "count 3 from channel 2 is out of range"},
        BadLine{"AiChannelNine", {"7301", "ai", "9"}, "ZRM-7301 has AI channels 1..8"},
        BadLine{"DiChannelSeventeen", {"7302", "di", "17"}, "ZRM-7302 has DI channels 1..16"},
        BadLine{"DoChannelNotANumber", {"7302", "do-set", "two", "on"}, "channel two is out of range"},
        BadLine{"DoChannelNine", {"7302", "do-set", "9", "on"}, "ZRM-7302 has DO channels 1..8"},
        BadLine{"DoStateUnknown", {"7302", "do-set", "1", "maybe"}, "state maybe: expected on or off"},
        BadLine{"DoMaskTooWide", {"7302", "do-mask", "0x100"}, "mask 0x100 has bits beyond the 8 channels"},
        BadLine{"DoMaskWiderThanItsWindow", {"7302", "do-mask", "0x7", "7"}, "beyond the 2 channels"},
        BadLine{"SingleOutputChannelTwo", {"7301", "do-set", "2", "on"}, "ZRM-7301 has DO channel 1"},
        BadLine{"RangeLabelUnknown", {"7301", "range-set", "1", "0~11V"}, "range 0~11V: expected a code 0..10 or a label"},
        BadLine{"RangeCodeEleven", {"7301", "range-set", "1", "11"}, "range 11"},
        BadLine{"RangesPastChannelEight", {"7301", "range-set", "8", "1", "2"}, "go past channel 8"},
        BadLine{"TcEnableChannelFour", {"7303", "enable-set", "4", "on"}, "ZRM-7303 has TC channels 1..3"},
        BadLine{"AiOnTheThermocoupleModel", {"7303", "ai"}, "ai: ZRM-7303 has no such signals; ai is for 7301"},
        BadLine{"EnableOnTheDigitalModel", {"7302", "enable"}, "enable is for 7301, 7303"},
        BadLine{"RangeOnTheDigitalModel", {"7302", "range"}, "range is for 7301"},
        BadLine{"SensorsWithAnArgument", {"7302", "sensors", "1"}, "unexpected argument 1"},
        BadLine{"UnknownCommand", {"7302", "blink"}, "no command blink"},
        BadLine{"UnknownModel", {"7304", "do"}, "model 7304: expected 7301, 7302 or 7303"},
        BadLine{"AddressOutOfRange", {"300.1.2.3", "7303", "tc"}, "address 300.1.2.3", true},
        BadLine{"NoCommand", {"7303"}, "expected ADDRESS MODEL COMMAND"},
        BadLine{"UnknownOption", {"7303", "tc", "--fast"}, "--fast"},
        BadLine{"PasswordLongerThanEight", {"--password", "123456789", "7301", "enable"}, "at most 8 characters"},
        BadLine{"TimeoutNotANumber", {"-t", "soon", "7303", "tc"}, "--timeout: soon: expected a number 1..3600000"},
        BadLine{"SaveAfterARead", {"--save", "7301", "enable"}, "--save: enable changes no setting"},
        BadLine{"TimeoutZero", {"-t0", "7303", "tc"}, "--timeout: 0: expected a number 1..3600000"},
        BadLine{"PasswordTakesTheAddress", {"--password", "127.0.0.1", "7301", "enable"}, "--password took 127.0.0.1 as the password", true},
        BadLine{"StateOne", {"7302", "do-set", "1", "1"}, "state 1: expected on or off"},
        BadLine{"CountWithoutPoll", {"-c", "3", "7303", "tc"}, "--interval, --count, --csv and --utc are for poll"},
        BadLine{"PollOfAWrite", {"7302", "poll", "do-set", "1", "on"}, "do-set is no read that poll repeats"},
        BadLine{"PollOfABadChannel", {"7303", "poll", "tc", "5"}, "channel 5 is out of range"}),
    [](const auto &p) { return std::string(p.param.name); });

// What a shell user types: joined short options and values, a state in
// capitals, help after the address, a host name.
TEST(KivtoolShell, JoinedOptionsCapitalStatesHelpAnywhereAndHostNames)
{
    Sim sim({"--model", "7302", "--do", "0"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    std::vector<std::string> line = ports(sim);
    line.insert(line.end(), {"-t500", "-jv", "localhost", "7302", "do-set", "3", "ON"});
    ToolRun set = kivtool(line);
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out.rfind("{\"address\":\"127.0.0.1\",\"model\":7302,\"command\":\"do-set\",\"ok\":true", 0), 0u)
        << set.out;
    EXPECT_NE(set.err.find("kivtool: KIV_DO_Write (write DO channel 3): KIV_OK ok"), std::string::npos)
        << set.err;

    ToolRun help = kivtool({"127.0.0.1", "7302", "help", "do-set"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.out, kivtool({"help", "do-set"}).out);
    ToolRun general = kivtool({"127.0.0.1", "7302", "help"});
    EXPECT_EQ(general.status, 0) << general.err;
    EXPECT_EQ(general.out.rfind("Usage: kivtool", 0), 0u) << general.out;
}
