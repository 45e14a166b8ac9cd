// Every command that a model has, run once against a simulator of that
// model: each succeeds and prints its table, and its JSON line is one
// object that says ok.
#include "tool_process.h"

#include <gtest/gtest.h>

using namespace kivtest;

namespace {

struct ModelCommands {
    const char *model;
    std::vector<std::vector<std::string>> lines; // save comes last: the module restarts
};

void PrintTo(const ModelCommands &m, std::ostream *os)
{
    *os << m.model;
}

class KivtoolModel : public ::testing::TestWithParam<ModelCommands> {};

} // namespace

TEST_P(KivtoolModel, EveryCommandSucceeds)
{
    const ModelCommands &m = GetParam();
    Sim sim({"--model", m.model});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    for (const auto &args : m.lines) {
        for (bool json : {false, true}) {
            std::vector<std::string> line = ports(sim);
            if (args[0] == "poll")
                line.insert(line.end(), {"-i", "0", "-c", "2"});
            line.insert(line.end(), {"127.0.0.1", m.model});
            line.insert(line.end(), args.begin(), args.end());
            if (json)
                line.push_back("--json");
            if (args[0] == "save" && !json)
                continue; // once is enough: the module restarts
            ToolRun r = kivtool(line);
            const std::string what = std::string(m.model) + " " + args[0] + (json ? " --json" : "");
            EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
            EXPECT_EQ(r.err, "") << what;
            ASSERT_FALSE(r.out.empty()) << what;
            if (json && args[0] != "poll") {
                EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << what << ": one line";
                EXPECT_NE(r.out.find("\"command\":\"" + args[0] + "\",\"ok\":true"), std::string::npos)
                    << what << ": " << r.out;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllModels, KivtoolModel,
    ::testing::Values(
        ModelCommands{"7301",
                      {{"ai"}, {"do"}, {"do-set", "on"}, {"do-mask", "0"}, {"enable"},
                       {"enable-set", "8", "off"}, {"enable-mask", "0x3", "1", "2"}, {"range"},
                       {"range-set", "1", "0~5V"}, {"povp"}, {"povp-set", "1"}, {"poll", "ai", "8"},
                       {"poll", "do"}, {"save"}}},
        ModelCommands{"7302",
                      {{"di"}, {"do"}, {"do-set", "8", "on"}, {"do-mask", "0xf0"}, {"sensors"},
                       {"povp"}, {"povp-set", "0x0f"}, {"poll", "di", "16"}, {"poll", "sensors"},
                       {"save"}}},
        ModelCommands{"7303",
                      {{"tc"}, {"di"}, {"do"}, {"do-set", "1", "off"}, {"do-mask", "1"}, {"enable"},
                       {"enable-set", "3", "on"}, {"enable-mask", "0b101"}, {"povp"},
                       {"povp-set", "0"}, {"poll", "tc", "3"}, {"poll", "di"}, {"save"}}}),
    [](const auto &p) { return std::string("ZRM_") + p.param.model; });
