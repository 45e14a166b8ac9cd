// Declared module settings end to end: a module that differs gets what is
// declared (and saves it when asked, after which it restarts and is found
// to match); one whose save fails is saved and restarted once, not again;
// one that already matches is left alone; a password is taken from a file,
// never from the configuration.
#include "gateway_fixture.h"

#include "kiv.hpp"
// The simulator has a settings.h of its own on the include path.
#include "../../gateway/settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>

#include <unistd.h>

using namespace gwtest;
using nlohmann::json;

namespace {

std::vector<json> reports(const Subscriber &s, const std::string &module)
{
    std::vector<json> out;
    for (const Message &m : s.on("kiv/g/" + module + "/settings"))
        out.push_back(json::parse(m.payload));
    return out;
}

} // namespace

TEST(Settings, DifferingModuleGetsTheDeclaredSettingsAndSavesThem)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    const std::string state = "/tmp/kiv-gateway-settings-" + std::to_string(::getpid());
    ModuleSim sim("127.0.34.1", {"--model", "7301", "--password", "s3cret", "--state", state,
                                 "--reboot-ms", "300"});
    ASSERT_TRUE(sim.ready());
    const std::string pw = state + ".password";
    std::ofstream(pw) << "s3cret\n";
    Subscriber sub(broker.port());
    Gateway gw(gateway_toml("g", &broker) + module_toml("m", 7301, sim) + "config_port = " +
               std::to_string(sim.config_port) +
               "\n[module.settings]\nai_enable = [1, 2]\nai_range = [\"0~10V\", 4]\ndo_power_on = [1]\n"
               "save = true\npassword_file = \"" + pw + "\"\n");
    // First the change and the save, then, after the module's restart, a
    // report that finds everything as declared.
    ASSERT_TRUE(sub.wait_for([&](auto &) { return reports(sub, "m").size() >= 2; }, 15s)) << gw.err();
    const auto r = reports(sub, "m");
    EXPECT_EQ(r[0]["found"]["ai_enable"], json::parse("[1,2,3,4,5,6,7,8]"));
    EXPECT_EQ(r[0]["changed"]["ai_enable"], json::parse("[1,2]"));
    EXPECT_EQ(r[0]["changed"]["ai_range"], json::parse(R"(["0~10V","-1~1V"])"));
    EXPECT_EQ(r[0]["changed"]["do_power_on"], json::parse("[1]"));
    EXPECT_TRUE(r[0]["failed"].empty()) << r[0];
    EXPECT_EQ(r[0]["saved"], true);
    // The read-back after the restart.
    EXPECT_TRUE(r[1]["changed"].empty()) << r[1];
    EXPECT_TRUE(r[1]["failed"].empty()) << r[1];
    EXPECT_EQ(r[1]["found"]["ai_enable"], json::parse("[1,2]"));
    EXPECT_EQ(r[1]["found"]["ai_range"], json::parse(R"(["0~10V","-1~1V"])"));
    EXPECT_EQ(r[1]["found"]["do_power_on"], json::parse("[1]"));
    EXPECT_EQ(r[1]["saved"], false);

    // What the module holds, read by a client of its own.
    auto s = kiv::config_session::login(sim.address, sim.config_port, 1000, "s3cret");
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(kiv::zrm7301(1000).get_ai_enable(*s).value_or(0), 0x03);
    std::remove(state.c_str());
    std::remove(pw.c_str());
}

TEST(Settings, FailedSaveIsReportedAndNotTriedAgain)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    // The module answers "E:save failed" and restarts with its old values.
    ModuleSim sim("127.0.34.21", {"--model", "7301", "--state", "/nonexistent-kiv-gateway-test/state",
                                  "--reboot-ms", "300"});
    ASSERT_TRUE(sim.ready());
    Subscriber sub(broker.port());
    Gateway gw(gateway_toml("g", &broker) + module_toml("m", 7301, sim, 100, 500) + "config_port = " +
               std::to_string(sim.config_port) + "\n[module.settings]\nai_enable = [1, 2]\nsave = true\n");
    // Back after its one restart, the module gets the values again, unsaved.
    ASSERT_TRUE(sub.wait_for([&](auto &) { return reports(sub, "m").size() >= 2; }, 15s)) << gw.err();
    // Every save, and so every restart the gateway causes, is in a report;
    // a poll that times out on a loaded machine may bring a run of its own.
    auto saves = [&] {
        std::size_t n = 0;
        for (const json &r : reports(sub, "m"))
            n += r["saved"] == true || r["failed"].value("save", "") == "E:save failed";
        return n;
    };
    EXPECT_FALSE(sub.wait_for([&](auto &) { return saves() > 1; }, 4s));
    const auto r = reports(sub, "m");
    EXPECT_EQ(r[0]["saved"], false);
    EXPECT_EQ(r[0]["failed"], json::parse(R"({"save":"E:save failed"})"));
    EXPECT_EQ(r[1]["changed"]["ai_enable"], json::parse("[1,2]"));
    EXPECT_EQ(r[1]["failed"], json::parse(R"({"save":"not tried again after: E:save failed"})"));
    EXPECT_EQ(r[1]["saved"], false);
}

TEST(Settings, MatchingModuleIsLeftAloneAndAPasswordInTheFileIsRefused)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim sim("127.0.34.11", {"--model", "7303", "--tc-en", "5"});
    Subscriber sub(broker.port());
    const std::string base = gateway_toml("g", &broker) + module_toml("m", 7303, sim) + "config_port = " +
                             std::to_string(sim.config_port) + "\n[module.settings]\n";
    {
        Gateway gw(base + "tc_enable = [1, 3]\n");
        ASSERT_TRUE(sub.wait_for([&](auto &) { return !reports(sub, "m").empty(); }, 10s)) << gw.err();
        const json r = reports(sub, "m").front();
        EXPECT_EQ(r["found"]["tc_enable"], json::parse("[1,3]"));
        EXPECT_TRUE(r["changed"].empty());
        EXPECT_TRUE(r["failed"].empty());
    }
    Gateway refused(base + "password = \"x\"\n");
    ASSERT_TRUE(refused.process().finish(10s));
    EXPECT_EQ(refused.process().status(), 2);
    EXPECT_NE(refused.err().find("a password never stands in this file"), std::string::npos) << refused.err();
}

TEST(Settings, AnAddressWithoutAnIpv4OneIsReportedWithTheLookupsReason)
{
    gateway::ModuleConfig m;
    m.name = "m";
    m.traits = kiv::find_model(7303);
    // Digits and dots that make no address: refused without a lookup.
    m.address = "10.0.0";
    m.settings = gateway::DeclaredSettings{};
    const json r = json::parse(gateway::apply_settings(m, {}).report);
    EXPECT_EQ(r["failed"], json::parse(R"({"login":"EHOSTUNREACH: not an IPv4 address"})")) << r;
    EXPECT_EQ(r["saved"], false);
}
