// The store end to end: modules polled every 200 ms, the broker killed,
// the gateway killed with SIGKILL during the outage and started again, the
// broker back. With the store every poll period of the gateway's running
// time arrives, once duplicates (the same run and seq) are dropped, with
// the simulator's values; without it the outage's polls are lost. And a
// store that is no database, one that another gateway holds, one too old.
#include "gateway_fixture.h"
#include "store.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

using namespace gwtest;
using nlohmann::json;

namespace {

std::string store_toml(const std::string &path, const std::string &more = "")
{
    return "[store]\npath = \"" + path + "\"\nreplay_per_s = 200\n" + more;
}

} // namespace

TEST(Store, BrokerOutageAndGatewayCrashLoseNothingThatWasPolled)
{
    for (const bool stored : {true, false}) {
        SCOPED_TRACE(stored ? "with the store" : "without it");
        Broker broker(true);
        ASSERT_TRUE(broker.start());
        ModuleSim ai("127.0.34.1", {"--model", "7301", "--ai", "1=12.50"});
        ModuleSim tc("127.0.34.2", {"--model", "7303", "--tc", "1=25.5"});
        ASSERT_TRUE(ai.ready() && tc.ready());
        Subscriber sub(broker.port(), {"kiv/s/+/values"}, "kiv-store-test");
        ASSERT_TRUE(sub.connected());
        const std::string dir = temp_dir();
        const std::string config = gateway_toml("s", &broker) + (stored ? store_toml(dir + "/store.db") : "") +
                                   module_toml("ai", 7301, ai, 200) + module_toml("tc", 7303, tc, 200);
        auto gw = std::make_unique<Gateway>(config);
        ASSERT_TRUE(sub.wait_for([](auto &m) { return m.size() >= 10; }, 10s)) << gw->err();

        broker.stop();
        std::this_thread::sleep_for(1s);
        gw->process().signal(SIGKILL);
        ASSERT_TRUE(gw->process().finish(5s));
        const double killed = epoch_now();
        gw = std::make_unique<Gateway>(config);
        std::this_thread::sleep_for(1s);
        ASSERT_TRUE(broker.start());
        const double back = epoch_now();
        // Live values of both modules again, and then time for the backlog.
        ASSERT_TRUE(sub.wait_for([&](auto &all) {
            std::set<std::string> live;
            for (const Message &m : all) {
                json j = json::parse(m.payload);
                if (!j.contains("replayed") && epoch_seconds(j["ts"]) > back + 1)
                    live.insert(j["module"]);
            }
            return live.size() == 2;
        }, 40s)) << gw->err();
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(gw->stop(), 0);

        // Per module and run: the seqs seen, and the last poll before the kill.
        std::map<std::string, std::map<int, std::set<int>>> seqs;
        std::map<std::string, double> last_before_kill;
        int replayed = 0;
        for (const Message &m : sub.messages()) {
            json j = json::parse(m.payload);
            const std::string module = j["module"];
            seqs[module][j.value("run", 0)].insert(j["seq"].get<int>());
            replayed += j.value("replayed", false);
            const double ts = epoch_seconds(j["ts"]);
            if (ts < killed)
                last_before_kill[module] = std::max(last_before_kill[module], ts);
            if (module == "ai")
                EXPECT_EQ(j["ai"][0]["value"], 12.5) << m.payload;
            else
                EXPECT_EQ(j["tc"][0]["temperature"], 25.5) << m.payload;
        }
        for (const std::string module : {"ai", "tc"}) {
            SCOPED_TRACE(module);
            if (!stored) {
                // What was polled while the broker was away went with the gateway.
                EXPECT_LT(last_before_kill[module], killed - 0.8);
                continue;
            }
            // Only the last turn before the kill may be lost.
            EXPECT_GT(last_before_kill[module], killed - 0.6);
            ASSERT_EQ(seqs[module].size(), 2u);
            for (const auto &[run, got] : seqs[module]) {
                EXPECT_LE(*got.begin(), 2) << "run " << run;
                EXPECT_EQ(got.size(), static_cast<std::size_t>(*got.rbegin() - *got.begin() + 1))
                    << "run " << run << ": a period is missing";
            }
        }
        EXPECT_TRUE(!stored || replayed > 5) << replayed << " replayed";
    }
}

TEST(Store, CorruptFileIsMovedAsideHeldOneRefusedOldMessagesDropped)
{
    ModuleSim sim("127.0.34.11", {"--model", "7302"});
    ASSERT_TRUE(sim.ready());
    const std::string dir = temp_dir(), path = dir + "/store.db";
    std::ofstream(path) << "not a database, whatever its name says\n";
    // No broker: everything stays in the store, and grows old there.
    Broker away;
    Gateway gw(gateway_toml("h", &away) + store_toml(path, "max_age = \"2s\"\n") + module_toml("m", 7302, sim, 50));
    EXPECT_TRUE(eventually([&] { return gw.err().find("moved aside") != std::string::npos; }, 5s)) << gw.err();
    std::size_t aside = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        aside += e.path().filename().string().rfind("store.db.corrupt-", 0) == 0;
    EXPECT_EQ(aside, 1u);

    Gateway second(gateway_toml("h2", &away) + store_toml(path) + module_toml("m", 7302, sim, 50));
    EXPECT_TRUE(second.process().finish(5s));
    EXPECT_EQ(second.process().status(), 2);
    EXPECT_NE(second.err().find("is held by another kiv-gateway process"), std::string::npos) << second.err();

    EXPECT_TRUE(eventually([&] { return gw.err().find("dropping the oldest messages (age") != std::string::npos; }, 8s)) << gw.err();
    EXPECT_EQ(gw.stop(), 0);
}

// In-process: the run goes up by one per open, rows come back oldest first
// and go when removed, and past max_mb the oldest are dropped and counted.
TEST(Store, RunsRowsAndTheSizeBound)
{
    gateway::StoreConfig c;
    c.path = temp_dir() + "/store.db";
    c.max_bytes = 1 << 20;
    const auto now = std::chrono::system_clock::now();
    const std::string payload(500, 'x');
    for (const std::uint64_t run : {std::uint64_t{1}, std::uint64_t{2}}) {
        auto s = gateway::Store::open(c);
        EXPECT_EQ(s->run(), run);
        if (run == 2) {
            // What the first run left, oldest first: rows 2 and 3.
            auto rows = s->after(0, 10);
            ASSERT_EQ(rows.size(), 2u);
            EXPECT_EQ(rows[0].id, 2);
            EXPECT_EQ(rows[1].topic, "t3");
            continue;
        }
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(s->add("t" + std::to_string(i), payload, now), i);
        s->remove(1);
        ASSERT_TRUE(s->commit());
    }
    auto s = gateway::Store::open(c);
    for (int i = 0; i < 4000; ++i)
        s->add("t", payload, now);
    ASSERT_TRUE(s->commit());
    s->maintain(now);
    const gateway::StoreFigures f = s->figures();
    EXPECT_LE(f.bytes, c.max_bytes);
    EXPECT_GT(f.dropped[0], 1000u);
    EXPECT_EQ(f.messages + f.dropped[0], 4002u);
    EXPECT_EQ(s->after(0, 1).front().id, static_cast<std::int64_t>(2 + f.dropped[0]));
}
