// The Sparkplug B edge node end to end, every message decoded by the npm
// package sparkplug-payload: a session of three modules with births, seq
// and report by exception, a DCMD and an NCMD, a module that dies and comes
// back, the will after kill -9, history after an outage; and births held
// back until the primary host is online.
#include "gateway_fixture.h"
#include "sparkplug_peer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <map>
#include <set>
#include <thread>

using namespace gwtest;
using nlohmann::json;

namespace {

struct Decoded {
    std::string topic;
    json p;
};

// Every message so far, decoded in one node run.
std::vector<Decoded> decoded(const Subscriber &sub)
{
    std::vector<Message> all = sub.messages();
    std::vector<std::string> payloads;
    for (const Message &m : all)
        payloads.push_back(m.payload);
    std::vector<json> js = kivtest::sparkplug_decode(payloads);
    std::vector<Decoded> out;
    for (std::size_t i = 0; i < all.size(); ++i)
        out.push_back({all[i].topic, js[i]});
    return out;
}

std::size_t count(const Subscriber &sub, const std::string &topic)
{
    return sub.on(topic).size();
}

json metric(const json &payload, const std::string &name)
{
    for (const json &m : payload["metrics"])
        if (m.value("name", "") == name)
            return m;
    return {};
}

std::string sparkplug_toml(const std::string &dir, const std::string &more = "")
{
    return "[sparkplug]\ngroup_id = \"plant\"\nstate_file = \"" + dir + "/bdseq\"\n" + more;
}

std::string command(const std::string &name, bool value)
{
    return kivtest::sparkplug_encode({json{{"timestamp", 1}, {"metrics", {{{"name", name}, {"type", "Boolean"},
                                                                            {"value", value}}}}}})[0];
}

const std::string root = "spBv1.0/plant/";

} // namespace

TEST(Sparkplug, SessionBirthsDataCommandsDeathsAndHistory)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim ai("127.0.36.1", {"--model", "7301", "--ai", "1=12.5", "--ai-en", "0x7f"});
    ModuleSim io("127.0.36.2", {"--model", "7302", "--di", "0x5", "--sensor", "0=1234"});
    ModuleSim tc("127.0.36.3", {"--model", "7303", "--tc", "1=25.5", "--tc", "2=30.0,25.0,1"});
    ASSERT_TRUE(ai.ready() && io.ready() && tc.ready());
    Subscriber sub(broker.port(), {"spBv1.0/#"});
    ASSERT_TRUE(sub.connected());
    const std::string dir = temp_dir();
    const std::string config = gateway_toml("gw", &broker) + "[store]\npath = \"" + dir + "/store.db\"\n" +
                               sparkplug_toml(dir) + module_toml("ai", 7301, ai, 50) +
                               module_toml("io", 7302, io, 50) + "commands = true\n" + module_toml("tc", 7303, tc, 50);
    auto gw = std::make_unique<Gateway>(config);
    ASSERT_TRUE(sub.wait_for([](auto &m) { return m.size() > 300; }, 30s)) << gw->err();

    // A switch, a refused write, a rebirth; the ai module away and back.
    sub.publish(root + "DCMD/gw/io", command("do/2", true));
    sub.publish(root + "DCMD/gw/io", command("di/1", true));
    sub.publish(root + "NCMD/gw", command("Node Control/Rebirth", true));
    ASSERT_TRUE(sub.wait_for([&](auto &) { return count(sub, root + "NBIRTH/gw") == 2; }, 10s)) << gw->err();
    ai.stop();
    ASSERT_TRUE(sub.wait_for([&](auto &) { return count(sub, root + "DDEATH/gw/ai") == 1; }, 10s));
    ModuleSim back(ai.address, {"--model", "7301", "--ai", "1=12.5"}, ai.modbus_port);
    ASSERT_TRUE(back.ready());
    ASSERT_TRUE(sub.wait_for([&](auto &) { return count(sub, root + "DBIRTH/gw/ai") == 3; }, 10s));
    // The broker publishes the will of a gateway that died.
    gw->process().signal(SIGKILL);
    ASSERT_TRUE(sub.wait_for([&](auto &) { return count(sub, root + "NDEATH/gw") == 1; }, 10s));

    const std::vector<Decoded> first = decoded(sub);
    ASSERT_EQ(first.front().topic, root + "NBIRTH/gw");
    EXPECT_EQ(metric(first.front().p, "bdSeq")["value"], 0);
    EXPECT_EQ(metric(first.front().p, "Node Control/Rebirth")["value"], false);
    EXPECT_EQ(metric(first.back().p, "bdSeq")["value"], 0);
    EXPECT_FALSE(first.back().p.contains("seq"));
    std::map<std::string, json> birth;  // the first DBIRTH of each module
    std::map<std::string, std::map<int, std::string>> names;
    int seq = -1;
    bool switched = false;
    const std::set<std::string> fixed{"ai ai/1", "io di/1", "io sensor/1", "tc tc/1/temperature"};
    for (const Decoded &d : first) {
        ASSERT_FALSE(d.p.contains("error")) << d.p;
        const std::string kind = d.topic.substr(root.size(), d.topic.find('/', root.size()) - root.size());
        const std::string module = d.topic.substr(d.topic.rfind('/') + 1);
        if (kind == "NDEATH" || kind == "NCMD" || kind == "DCMD")
            continue;
        // One more each, 255 wrapping to 0; NBIRTH starts at 0.
        ASSERT_TRUE(d.p.contains("seq")) << d.topic << " " << d.p;
        const int s = d.p["seq"];
        EXPECT_EQ(s, kind == "NBIRTH" ? 0 : (seq + 1) % 256) << d.topic;
        seq = s;
        EXPECT_GT(d.p.value("timestamp", 0.0), 0);
        if (kind == "NBIRTH") {  // the rebirth's too
            EXPECT_EQ(metric(d.p, "bdSeq")["value"], 0);
        }
        if (kind == "DBIRTH") {
            birth.emplace(module, d.p);
            for (const json &m : d.p["metrics"])
                names[module][m["alias"]] = m["name"];
        }
        if (kind == "DDATA")
            for (const json &m : d.p["metrics"]) {
                // By alias alone, and only what changed: fixed values never do.
                EXPECT_FALSE(m.contains("name"));
                const std::string name = names[module][m["alias"]];
                EXPECT_FALSE(fixed.count(module + " " + name)) << module << " " << name;
                switched = switched || (module == "io" && name == "do/2" && m["value"] == true);
            }
    }
    EXPECT_GT(first.size(), 300u);
    EXPECT_TRUE(switched) << "the DCMD's output did not come back in DDATA";
    EXPECT_NE(gw->err().find("refused"), std::string::npos);
    EXPECT_EQ(count(sub, root + "DBIRTH/gw/io"), 2u);

    // Births carry every metric, named and typed, with the modules' values.
    ASSERT_EQ(birth.size(), 3u);
    EXPECT_EQ(birth["ai"]["metrics"].size(), 9u);
    EXPECT_EQ(birth["io"]["metrics"].size(), 48u);
    EXPECT_EQ(birth["tc"]["metrics"].size(), 12u);
    EXPECT_EQ(metric(birth["ai"], "ai/1")["value"], 12.5);
    EXPECT_EQ(metric(birth["ai"], "ai/1")["type"], "Double");
    EXPECT_TRUE(metric(birth["ai"], "ai/8")["isNull"]);
    EXPECT_EQ(metric(birth["ai"], "do/1")["type"], "Boolean");
    EXPECT_EQ(metric(birth["io"], "di/1")["value"], true);
    EXPECT_EQ(metric(birth["io"], "di/2")["value"], false);
    EXPECT_EQ(metric(birth["io"], "sensor/1")["value"], 1234);
    EXPECT_EQ(metric(birth["io"], "sensor/24")["type"], "UInt16");
    EXPECT_EQ(metric(birth["tc"], "tc/1/temperature")["value"], 25.5);
    EXPECT_EQ(metric(birth["tc"], "tc/1/fault")["value"], "");
    EXPECT_TRUE(metric(birth["tc"], "tc/2/temperature")["isNull"]);
    EXPECT_EQ(metric(birth["tc"], "tc/2/fault")["value"], "open");

    // The next run, started while the broker is away: a new bdSeq, and what
    // it polled meanwhile comes after the births as history.
    broker.stop();
    const std::size_t before = sub.messages().size();
    gw = std::make_unique<Gateway>(config);
    std::this_thread::sleep_for(1500ms);
    const double away_until = epoch_now();
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(sub.wait_for([&](auto &m) {
        std::size_t historical = 0;
        for (std::size_t i = before; i < m.size(); ++i)
            historical += m[i].topic.find("/DDATA/") != std::string::npos;
        return historical > 20;
    }, 30s)) << gw->err();
    EXPECT_EQ(gw->stop(), 0);
    const std::vector<Decoded> second = decoded(sub);
    std::size_t n = before;
    for (; n < second.size() && second[n].topic != root + "NBIRTH/gw"; ++n) {
    }
    ASSERT_LT(n, second.size());
    EXPECT_EQ(metric(second[n].p, "bdSeq")["value"], 1);
    std::size_t history = 0;
    for (std::size_t i = n + 1; i < second.size(); ++i)
        for (const json &m : second[i].p.value("metrics", json::array()))
            if (m.value("isHistorical", false)) {
                ++history;
                EXPECT_LT(m["timestamp"].get<double>() / 1000, away_until + 0.5);
            }
    EXPECT_GT(history, 20u);
    EXPECT_EQ(second.back().topic, root + "NDEATH/gw");
    EXPECT_EQ(metric(second.back().p, "bdSeq")["value"], 1);
}

TEST(Sparkplug, BirthsWaitForThePrimaryHost)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim io("127.0.36.4", {"--model", "7302"});
    ASSERT_TRUE(io.ready());
    Subscriber sub(broker.port(), {"spBv1.0/#"});
    ASSERT_TRUE(sub.connected());
    const std::string dir = temp_dir();
    Gateway gw(gateway_toml("gw", &broker) + sparkplug_toml(dir, "primary_host_id = \"scada\"\n") +
               module_toml("io", 7302, io, 100));
    auto state = [&](bool online, long stamp) {
        sub.publish("spBv1.0/STATE/scada", json{{"online", online}, {"timestamp", stamp}}.dump(), true);
    };
    const std::string nbirth = root + "NBIRTH/gw";
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(count(sub, nbirth), 0u) << gw.err();
    state(true, 1000);
    ASSERT_TRUE(sub.wait_for([&](auto &) { return count(sub, nbirth) == 1; }, 10s)) << gw.err();
    // Offline: the node leaves with its NDEATH and waits for the host again.
    state(false, 2000);
    ASSERT_TRUE(sub.wait_for([&](auto &) { return count(sub, root + "NDEATH/gw") == 1; }, 10s)) << gw.err();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(count(sub, nbirth), 1u);
    state(true, 3000);
    ASSERT_TRUE(sub.wait_for([&](auto &) { return count(sub, nbirth) == 2; }, 10s)) << gw.err();
    const std::vector<Decoded> all = decoded(sub);
    std::vector<int> bdseqs;
    for (const Decoded &d : all)
        if (d.topic == nbirth || d.topic == root + "NDEATH/gw")
            bdseqs.push_back(metric(d.p, "bdSeq")["value"]);
    EXPECT_EQ(bdseqs, (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(gw.stop(), 0);
}
