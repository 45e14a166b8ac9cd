// Reloads: the plan that a new file makes of the running modules, and
// SIGHUP on a running gateway (a module added, one removed, one changed, a
// file refused, signals that are only logged), the others untouched.
#include "gateway_fixture.h"
#include "reload.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>

using namespace gwtest;
using namespace gateway;
using nlohmann::json;

namespace {

ModuleConfig module(const std::string &name, int interval_ms = 1000)
{
    ModuleConfig m;
    m.name = name;
    m.model = 7301;
    m.traits = kiv::find_model(7301);
    m.address = "127.0.0.1";
    m.interval_ms = interval_ms;
    return m;
}

Config config(std::vector<ModuleConfig> modules, const std::string &broker = "127.0.0.1")
{
    Config c;
    c.id = "g";
    c.mqtt = MqttConfig{};
    c.mqtt->host = broker;
    c.modules = std::move(modules);
    return c;
}

std::vector<std::string> names(const std::vector<ModuleConfig> &slots)
{
    std::vector<std::string> n;
    for (auto &m : slots)
        n.push_back(m.vacant() ? "-" : m.name);
    return n;
}

std::vector<std::uint64_t> seqs(const Subscriber &sub, const std::string &topic)
{
    std::vector<std::uint64_t> out;
    for (auto &m : sub.on(topic))
        out.push_back(json::parse(m.payload)["seq"]);
    return out;
}

} // namespace

TEST(Reload, PlanKeepsEachModulesSlotAndNamesWhatOnlyAStartApplies)
{
    Config running = config({module("a"), module("b"), module("c")});
    ReloadPlan p = plan_reload(running, config({module("e"), module("a"), module("c", 500), module("d")}, "::1"));
    EXPECT_EQ(names(p.modules), (std::vector<std::string>{"a", "e", "c", "d"}));
    EXPECT_EQ(p.removed, (std::vector<std::size_t>{1}));
    EXPECT_EQ(p.changed, (std::vector<std::size_t>{2}));
    EXPECT_EQ(p.added, (std::vector<std::size_t>{1, 3}));
    EXPECT_EQ(p.kept, (std::vector<std::string>{"[mqtt]"}));
    EXPECT_EQ(describe(p, running.modules), "2 added (e, d), 1 removed (b), 1 changed (c)");

    // Removing leaves a vacant slot; the same file again changes nothing.
    running.modules = p.modules;
    p = plan_reload(running, config({module("a"), module("c", 500), module("d")}, "::1"));
    EXPECT_EQ(names(p.modules), (std::vector<std::string>{"a", "-", "c", "d"}));
    EXPECT_EQ(p.removed, (std::vector<std::size_t>{1}));
    running.modules = p.modules;
    EXPECT_TRUE(plan_reload(running, config({module("d"), module("c", 500), module("a")}, "::1")).empty());
}

TEST(Reload, SighupStartsAndStopsModulesWithoutTouchingTheOthers)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim keep("127.0.33.1", {"--model", "7302"});
    ModuleSim gone("127.0.33.2", {"--model", "7301"});
    ModuleSim fresh("127.0.33.3", {"--model", "7303"});
    ModuleSim changed("127.0.33.4", {"--model", "7301"});
    ASSERT_TRUE(keep.ready() && gone.ready() && fresh.ready() && changed.ready());
    Subscriber sub(broker.port());
    ASSERT_TRUE(sub.connected());
    const std::string head = gateway_toml("r", &broker);
    const std::string kept = module_toml("keep", 7302, keep);
    Gateway gw(head + kept + module_toml("gone", 7301, gone) + module_toml("chg", 7301, changed));
    auto values = [&](const std::string &m, std::size_t n) {
        return sub.wait_for([&](auto &) { return sub.on("kiv/r/" + m + "/values").size() >= n; }, 10s);
    };
    ASSERT_TRUE(values("keep", 3) && values("gone", 1) && values("chg", 1)) << gw.err();

    for (int sig : {SIGUSR1, SIGUSR2, SIGALRM})
        gw.process().signal(sig);
    gw.rewrite(head + kept + "[[module]]\nname = \"x\"\nmodel = 9999\n");
    gw.process().signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return gw.err().find("reload refused") != std::string::npos; }, 5s))
        << "[" << gw.err() << "]";
    const std::size_t gone_before = sub.on("kiv/r/gone/values").size();
    const std::uint64_t chg_before = seqs(sub, "kiv/r/chg/values").back();
    ASSERT_TRUE(values("gone", gone_before + 2)) << "the running configuration stays";

    gw.rewrite(head + kept + module_toml("new", 7303, fresh) + module_toml("chg", 7301, changed, 200));
    gw.process().signal(SIGHUP);
    EXPECT_TRUE(values("new", 3)) << gw.err();
    EXPECT_TRUE(sub.wait_for_payload("kiv/r/gone/status", "offline", 5s));
    EXPECT_TRUE(values("keep", seqs(sub, "kiv/r/keep/values").size() + 5));
    const std::size_t gone_after = sub.on("kiv/r/gone/values").size();

    EXPECT_EQ(gw.process().status(), -1) << "still running after SIGUSR1, SIGUSR2, SIGALRM and two SIGHUPs";
    EXPECT_EQ(gw.stop(), 0);
    EXPECT_EQ(sub.on("kiv/r/gone/values").size(), gone_after) << "nothing more of a removed module";
    // The one left alone polled on, its seq never started again; the
    // changed one counts on.
    const auto k = seqs(sub, "kiv/r/keep/values");
    for (std::size_t i = 1; i < k.size(); ++i)
        EXPECT_GT(k[i], k[i - 1]) << "at " << i;
    EXPECT_GT(seqs(sub, "kiv/r/chg/values").back(), chg_before);
    const std::string err = gw.err();
    for (const char *said : {"ignoring SIGUSR1", "ignoring SIGUSR2", "ignoring SIGALRM",
                             "1 added (new), 1 removed (gone), 1 changed (chg)"})
        EXPECT_NE(err.find(said), std::string::npos) << said << "\n" << err;
    EXPECT_TRUE(sub.wait_for_payload("kiv/r/new/status", "offline", 5s));
}
