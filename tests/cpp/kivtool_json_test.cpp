// kivtool's JSON as a consumer reads it: every line a document for a
// general parser, the values where the help says they are.
#include "tool_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

using namespace kivtest;
using nlohmann::json;

namespace {

std::vector<json> documents(const std::string &out)
{
    std::vector<json> docs;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        docs.push_back(json::parse(line)); // throws on anything malformed
    return docs;
}

std::vector<std::string> with_ports(const Sim &sim, std::vector<std::string> args)
{
    std::vector<std::string> line = ports(sim);
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

} // namespace

TEST(KivtoolJson, ReadsAsJsonForAGeneralParser)
{
    Sim sim({"--model", "7303", "--tc", "2=-3.75,-0.7,0x07"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun tc = kivtool(with_ports(sim, {"-j", "127.0.0.1", "7303", "tc", "2", "1"}));
    auto docs = documents(tc.out);
    ASSERT_EQ(docs.size(), 1u) << tc.out;
    const json &c = docs[0]["channels"][0];
    EXPECT_EQ(c["temperature"].get<double>(), -3.75);
    EXPECT_EQ(c["reference_text"], "-0.7");
    EXPECT_EQ(c["faults"], json({"open", "short-gnd", "short-vcc"}));

    ToolRun poll = kivtool(with_ports(sim, {"-j", "-i0", "-c2", "127.0.0.1", "7303", "poll", "di"}));
    docs = documents(poll.out);
    ASSERT_EQ(docs.size(), 3u) << poll.out;
    EXPECT_TRUE(docs[1]["time"].is_string());
    EXPECT_EQ(docs[2]["summary"]["answered"], 2);
    EXPECT_EQ(docs[2]["summary"]["loss_percent"].get<double>(), 0.0);
}

TEST(KivtoolJson, FailuresCarryTheirNames)
{
    Sim sim({"--model", "7302", "--exception", "3", "--config-ignore", "save"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun mask = kivtool(with_ports(sim, {"-j", "127.0.0.1", "7302", "do-mask", "0x5"}));
    auto docs = documents(mask.out);
    ASSERT_EQ(docs.size(), 1u) << mask.out;
    const json &e = docs[0]["error"];
    EXPECT_EQ(e["name"], "KIV_ERR_EXCEPTION");
    EXPECT_EQ(e["exception_code"], 3);
    EXPECT_EQ(e["exception_name"], "illegal data value");

    ToolRun save = kivtool(with_ports(sim, {"-j", "-t", "100", "127.0.0.1", "7302", "save"}));
    docs = documents(save.out);
    ASSERT_EQ(docs.size(), 1u) << save.out;
    EXPECT_TRUE(docs[0]["saved"].is_null());
    EXPECT_EQ(docs[0]["error"]["name"], "KIV_ERR_TIMEOUT");
    EXPECT_NE(docs[0]["error"]["note"].get<std::string>().find("not confirmed"), std::string::npos);
}
