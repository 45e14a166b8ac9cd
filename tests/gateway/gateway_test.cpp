// kiv-gateway end to end: zrm-sim modules, a real mosquitto broker, and the
// gateway between them. The payloads of each model, a module that dies and
// comes back, the broker restarted under the gateway, --stdout, and files
// that are refused before anything connects.
#include "gateway_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>

using namespace gwtest;
using nlohmann::json;

namespace {

json last_values(const Subscriber &s, const std::string &topic)
{
    auto all = s.on(topic);
    return all.empty() ? json() : json::parse(all.back().payload);
}

bool has_values(const Subscriber &s, const std::string &topic, std::size_t n = 1)
{
    return s.wait_for([&](const std::vector<Message> &) { return s.on(topic).size() >= n; }, 10s);
}

} // namespace

TEST(Gateway, PublishesEachModelsProcessImageAndGoesOfflineOnStop)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim ai("127.0.31.1", {"--model", "7301", "--ai", "1=12.50", "--ai", "2=-0.7", "--ai-en", "0xfd",
                                "--do", "1"});
    ModuleSim dio("127.0.31.2", {"--model", "7302", "--di", "0x8001", "--do", "0x81", "--sensor", "0=7",
                                 "--sensor", "23=65535"});
    ModuleSim tc("127.0.31.3", {"--model", "7303", "--tc", "1=25.5,24.3,1", "--tc", "2=-3.25", "--tc-en", "3",
                                "--di", "2"});
    ASSERT_TRUE(ai.ready() && dio.ready() && tc.ready());
    Subscriber sub(broker.port());
    ASSERT_TRUE(sub.connected());
    Gateway gw(gateway_toml("line3", &broker) + module_toml("ai", 7301, ai) + module_toml("dio", 7302, dio) +
               module_toml("oven", 7303, tc));

    ASSERT_TRUE(has_values(sub, "kiv/line3/ai/values", 2)) << gw.err();
    ASSERT_TRUE(has_values(sub, "kiv/line3/dio/values") && has_values(sub, "kiv/line3/oven/values"));
    EXPECT_TRUE(sub.wait_for_payload("kiv/line3/status", "online", 5s));
    EXPECT_TRUE(sub.wait_for_payload("kiv/line3/oven/status", "online", 5s));

    const std::string raw = sub.on("kiv/line3/ai/values").back().payload;
    // The module's digits, as they came: 12.50, not 12.5.
    EXPECT_NE(raw.find("\"value\":12.50,"), std::string::npos) << raw;
    json a = json::parse(raw);
    EXPECT_EQ(a["module"], "ai");
    EXPECT_EQ(a["model"], 7301);
    EXPECT_TRUE(std::regex_match(a["ts"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    auto seqs = sub.on("kiv/line3/ai/values");
    EXPECT_EQ(json::parse(seqs[1].payload)["seq"].get<int>(), json::parse(seqs[0].payload)["seq"].get<int>() + 1);
    ASSERT_EQ(a["ai"].size(), 8u);
    EXPECT_EQ(a["ai"][0], json::parse(R"({"channel":1,"enabled":true,"value":12.5,"quality":"good"})"));
    EXPECT_EQ(a["ai"][1]["value"], -0.7);
    EXPECT_EQ(a["ai"][1]["quality"], "disabled");
    EXPECT_EQ(a["do"], json::parse(R"([{"channel":1,"on":true}])"));

    json d = last_values(sub, "kiv/line3/dio/values");
    ASSERT_EQ(d["di"].size(), 16u);
    EXPECT_EQ(d["di"][0]["on"], true);
    EXPECT_EQ(d["di"][1]["on"], false);
    EXPECT_EQ(d["di"][15], json::parse(R"({"channel":16,"on":true})"));
    ASSERT_EQ(d["do"].size(), 8u);
    EXPECT_EQ(d["do"][7]["on"], true);
    EXPECT_EQ(d["do"][6]["on"], false);
    ASSERT_EQ(d["sensors"].size(), 24u);
    EXPECT_EQ(d["sensors"][0], 7);
    EXPECT_EQ(d["sensors"][23], 65535);

    json t = last_values(sub, "kiv/line3/oven/values");
    ASSERT_EQ(t["tc"].size(), 3u);
    EXPECT_EQ(t["tc"][0], json::parse(R"({"channel":1,"enabled":true,"temperature":25.5,"reference":24.3,
                                          "faults":["open"],"quality":"fault"})"));
    EXPECT_EQ(t["tc"][1]["temperature"], -3.25);
    EXPECT_EQ(t["tc"][1]["quality"], "good");
    EXPECT_EQ(t["tc"][2]["quality"], "disabled");
    EXPECT_EQ(t["di"], json::parse(R"([{"channel":1,"on":false},{"channel":2,"on":true}])"));

    EXPECT_EQ(gw.stop(), 0) << gw.err();
    EXPECT_TRUE(sub.wait_for_payload("kiv/line3/oven/status", "offline", 5s));
    EXPECT_TRUE(sub.wait_for_payload("kiv/line3/status", "offline", 5s));
}

TEST(Gateway, ModuleThatDiesGoesOfflineAndIsPolledAgainWhenItComesBack)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    auto sim = std::make_unique<ModuleSim>("127.0.31.11", std::vector<std::string>{"--model", "7303"});
    ASSERT_TRUE(sim->ready());
    const int port = sim->modbus_port;
    ModuleSim other("127.0.31.12", {"--model", "7302"});
    Subscriber sub(broker.port());
    Gateway gw(gateway_toml("g", &broker) + module_toml("m", 7303, *sim) + module_toml("other", 7302, other));
    ASSERT_TRUE(sub.wait_for_payload("kiv/g/m/status", "online", 10s)) << gw.err();

    sim->stop();
    ASSERT_TRUE(sub.wait_for_payload("kiv/g/m/status", "offline", 5s));
    const std::size_t before = sub.on("kiv/g/m/values").size();
    const std::size_t other_before = sub.on("kiv/g/other/values").size();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(sub.on("kiv/g/m/values").size(), before);
    // The dead module delays nobody: about ten polls of the other in 1 s.
    EXPECT_GE(sub.on("kiv/g/other/values").size(), other_before + 7);

    sim = std::make_unique<ModuleSim>("127.0.31.11", std::vector<std::string>{"--model", "7303"}, port);
    ASSERT_TRUE(sim->ready());
    const auto back = std::chrono::steady_clock::now();
    // Within one backoff period (at most 4.8 s) and a poll.
    EXPECT_TRUE(sub.wait_for_payload("kiv/g/m/status", "online", 6s, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - back, 6s);
    EXPECT_TRUE(has_values(sub, "kiv/g/m/values", before + 1));
}

TEST(Gateway, BrokerLateAtStartOrRestartedGetsTheQueuedValuesAndStatuses)
{
    Broker broker;
    ModuleSim sim("127.0.31.21", {"--model", "7301"});
    Gateway gw(gateway_toml("g", &broker) + module_toml("m", 7301, sim));
    // The broker comes up after the gateway: between its attempts at 1 s
    // and 3 s, so that the subscriber is there before the gateway is.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(broker.start());
    int last_seq = 0;
    {
        Subscriber sub(broker.port());
        ASSERT_TRUE(has_values(sub, "kiv/g/m/values", 2)) << gw.err();
        EXPECT_LE(json::parse(sub.on("kiv/g/m/values").front().payload)["seq"].get<int>(), 2)
            << "the values from before the broker was up were kept";
        last_seq = last_values(sub, "kiv/g/m/values")["seq"];
    }
    broker.stop();
    // Polls made while the broker was surely gone; those made while it was
    // dying may be lost with its connection, as QoS 1 allows.
    const double gone = epoch_now() + 0.3;
    std::this_thread::sleep_for(1500ms);
    const double back = epoch_now();
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port());
    // Retained statuses come back although the broker kept nothing, and the
    // polls of the outage follow in order.
    EXPECT_TRUE(sub.wait_for_payload("kiv/g/status", "online", 40s)) << gw.err();
    EXPECT_TRUE(sub.wait_for_payload("kiv/g/m/status", "online", 5s));
    ASSERT_TRUE(sub.wait_for([&](const std::vector<Message> &) {
        auto v = sub.on("kiv/g/m/values");
        return !v.empty() && json::parse(v.back().payload)["seq"].get<int>() > last_seq + 20;
    }, 10s));
    // In order and once each. A gap may be honest: a poll that timed out, or
    // a period skipped while a loaded machine held the loop back.
    int previous = 0;
    for (auto &m : sub.on("kiv/g/m/values")) {
        const int seq = json::parse(m.payload)["seq"];
        if (seq <= previous)
            ADD_FAILURE() << "seq " << seq << " after " << previous;
        previous = seq;
    }
    int kept = 0;
    for (auto &m : sub.on("kiv/g/m/values")) {
        const double ts = epoch_seconds(json::parse(m.payload)["ts"]);
        kept += ts >= gone && ts <= back;
    }
    EXPECT_GE(kept, 8) << "the values of the outage were kept";
}

// Nothing but the values on standard output, also while a module keeps
// dropping its connection; and the stop takes less than a second.
TEST(Gateway, StdoutCarriesJsonLinesAloneAndStopsWithinASecond)
{
    ModuleSim sim("127.0.31.31", {"--model", "7303"});
    ModuleSim closing("127.0.31.32", {"--model", "7302", "--close-after", "4"});
    Gateway gw(gateway_toml("g", nullptr) + module_toml("m", 7303, sim) + module_toml("c", 7302, closing),
               {"--stdout"});
    std::string line;
    int from_m = 0;
    for (int i = 1; i <= 12; ++i) {
        ASSERT_TRUE(gw.process().read_line(line, 5s)) << gw.err();
        json j = json::parse(line);
        from_m += j["module"] == "m";
        EXPECT_EQ(j["tc"].size(), j["module"] == "m" ? 3u : 0u);
    }
    EXPECT_GE(from_m, 3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(gw.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(Gateway, BadFilesAreRefusedWithLineAndReasonBeforeAnythingConnects)
{
    kivtest::Listener module;
    const std::string good_module = "[[module]]\nname = \"m\"\nmodel = 7303\naddress = \"127.0.0.1\"\n"
                                    "modbus_port = " + std::to_string(module.port()) + "\n";
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"[gateway]\nid = \"g\"\n" + good_module + "interval_ms = 0\n",
         ":8: module \"m\": interval_ms must be 10..86400000, not 0"},
        {"[gateway]\nid = \"g\"\n" + good_module + "offline_after = 0\n",
         ":8: module \"m\": offline_after must be 1..1000, not 0"},
        {"[gateway]\nid = \"g\"\n" + good_module + "modle = 7301\n", ":8: module \"m\": unknown key \"modle\""},
        {"[gateway]\nid = \"g\"\n" + good_module + "publish = \"sometimes\"\n",
         ":8: module \"m\": publish must be \"every_poll\" or \"change\", not \"sometimes\""},
        {"[gateway]\nid = \"g\"\n" + good_module + "deadband = -inf\n", ":8: module \"m\": deadband must be a finite number >= 0"},
        {"[gateway]\nid = \"g\"\n" + good_module + "heartbeat_s = 0\n", ":8: module \"m\": heartbeat_s must be 1..86400, not 0"},
        {"[gateway]\nid = \"g\"\n" + good_module + good_module, ":9: module \"m\": the name is taken"},
        {"[gateway]\nid = \"a/b\"\n" + good_module, ":2: [gateway]: id must be letters"},
        {"[gateway]\nid = \"g\"\n[[module]]\nname = \"m\"\nmodel = 7304\naddress = \"x\"\n",
         ":5: module \"m\": model must be 7301..7303, not 7304"},
        {"[gateway]\nid = \"g\"\n" + good_module + "address = \"y\"\n", ":8: Error while parsing"},
        {"[gateway]\nid = \"g\"\n", ": no [[module]]: nothing to poll"},
        {"[gateway]\nid = \"g\"\n[mqtt]\nbroker = \"127.0.0.1:99999\"\n" + good_module, ":4: [mqtt]: broker"},
        {"[gateway]\nid = \"g\"\n" + good_module, ": [mqtt] with its broker is missing"},
        {"[gateway]\nid = \"g\"\n[sparkplug]\ngroup_id = \"p\"\n" + good_module, ":3: [sparkplug]: needs [mqtt]"},
        {"[gateway]\nid = \"g\"\n[mqtt]\nbroker = \"127.0.0.1:1883\"\n[sparkplug]\ngroup_id = \"a+b\"\n" + good_module,
         ":6: [sparkplug]: group_id must be letters"},
    };
    for (const Case &c : cases) {
        Gateway gw(c.text);
        ASSERT_TRUE(gw.process().finish(10s));
        EXPECT_EQ(gw.process().status(), 2) << c.text;
        EXPECT_NE(gw.err().find(c.message), std::string::npos) << gw.err() << "\nexpected: " << c.message;
        EXPECT_NE(gw.err().find("gateway.toml"), std::string::npos) << gw.err();
    }
    Gateway check(gateway_toml("g", nullptr) + good_module, {"--check", "--stdout"});
    ASSERT_TRUE(check.process().finish(10s));
    EXPECT_EQ(check.process().status(), 0) << check.err();
    EXPECT_FALSE(module.connected());
}
