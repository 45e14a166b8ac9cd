// Report by exception: what counts as a change against the deadband, the
// filter's first poll, drift, heartbeat and return from offline, and end to
// end "change" modules beside an "every_poll" one.
#include "gateway_fixture.h"
#include "report_by_exception.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>

using namespace gwtest;
using namespace gateway;
using nlohmann::json;

namespace {

kiv::reading r(unsigned integer, unsigned fraction) { return {false, integer, fraction}; }

// All kinds of channel in one image: image_changed looks at each.
ProcessImage image(kiv::reading ai1 = r(12, 50))
{
    ProcessImage p;
    p.ai = {{true, ai1}, {false, r(1, 1)}};
    p.tc = {{true, r(25, 5), r(24, 3), 0}};
    p.di = {false, true};
    p.outputs = {false};
    p.sensors = {1000, 1100};
    return p;
}

} // namespace

TEST(ReportByException, ChangesAreWhatMovedBeyondTheDeadbandOrFlipped)
{
    using Change = std::function<void(ProcessImage &)>;
    const std::tuple<const char *, double, Change, bool> cases[] = {
        {"nothing", 0, [](ProcessImage &) {}, false},
        {"AI by exactly the deadband", 0.5, [](ProcessImage &p) { p.ai[0].value = r(13, 0); }, false},
        {"AI past it", 0.5, [](ProcessImage &p) { p.ai[0].value = r(13, 1); }, true},
        {"a disabled AI's value", 0, [](ProcessImage &p) { p.ai[1].value = r(9, 9); }, false},
        {"disabled -> enabled", 100, [](ProcessImage &p) { p.ai[1].enabled = true; }, true},
        {"TC fault appears", 100, [](ProcessImage &p) { p.tc[0].faults = KIV_TC_FAULT_OPEN; }, true},
        {"TC reference past it", 0.5, [](ProcessImage &p) { p.tc[0].reference = r(23, 7); }, true},
        {"TC temperature within it", 0.5, [](ProcessImage &p) { p.tc[0].temperature = r(25, 9); }, false},
        {"DI flip", 100, [](ProcessImage &p) { p.di[0] = true; }, true},
        {"DO flip", 100, [](ProcessImage &p) { p.outputs[0] = true; }, true},
        {"a sensor register by 1", 100, [](ProcessImage &p) { p.sensors[1] = 1101; }, true},
    };
    EXPECT_FALSE(moved(1.1, 1.3, 0.2)) << "decimal 0.2 is not beyond 0.2";
    EXPECT_TRUE(moved(1.1, 1.3, 0.19));
    for (const auto &[what, deadband, change, changed] : cases) {
        ProcessImage now = image();
        change(now);
        EXPECT_EQ(image_changed(image(), now, deadband), changed) << what;
    }
}

TEST(ReportByException, FilterPublishesFirstDriftHeartbeatAndAfterOfflineOrReload)
{
    ModuleConfig m;
    m.traits = kiv::find_model(7301);
    m.interval_ms = 100;
    m.publish = Publish::change;
    m.heartbeat_s = 1;
    m.deadband = 0.5;
    ModuleConfig every = m;
    every.publish = Publish::every_poll;
    const std::vector<ModuleConfig> modules{m, every};
    ExceptionFilters filters(modules);
    // AI 1 at 10.<tenths>: the drift counts from the last value published,
    // not the last polled; the heartbeat 10 periods (1 s of 100 ms) after
    // the last publish.
    for (auto [seq, tenths, published] : {std::tuple{1u, 0u, true}, {2u, 3u, false}, {3u, 6u, true},
                                          {4u, 9u, false}, {12u, 9u, false}, {13u, 9u, true}, {14u, 9u, false}}) {
        EXPECT_EQ(filters.publish({0, seq, 0, image(r(10, tenths))}), published) << "seq " << seq;
        EXPECT_TRUE(filters.publish({1, seq, 0, image(r(10, tenths))}));
    }
    filters.status({0, false, KIV_ERR_TIMEOUT});
    EXPECT_TRUE(filters.publish({0, 20, 0, image(r(10, 9))})) << "the first poll after offline";
    const std::vector<std::size_t> none, changed{0};
    filters.modules_changed({modules, modules, none, none, changed});
    EXPECT_TRUE(filters.publish({0, 21, 0, image(r(10, 9))})) << "the first poll after a reload changed it";
}

TEST(ReportByException, ChangeModulesPublishFirstPollHeartbeatsAndASwitchedOutputAtOnce)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    // Fixed values: AI 1 alone enabled, the others' live values not compared.
    const std::vector<std::string> fixed{"--model", "7301", "--ai-en", "1", "--ai", "1=12.50"};
    ModuleSim beat("127.0.35.1", fixed), quiet("127.0.35.2", fixed), every("127.0.35.3", fixed);
    ASSERT_TRUE(beat.ready() && quiet.ready() && every.ready());
    Subscriber sub(broker.port());
    Gateway gw(gateway_toml("g", &broker) + module_toml("beat", 7301, beat) +
               "publish = \"change\"\nheartbeat_s = 1\n" + module_toml("quiet", 7301, quiet) +
               "publish = \"change\"\ndeadband = 0.25\ncommands = true\n" + module_toml("every", 7301, every));
    ASSERT_TRUE(sub.wait_for([&](auto &) { return sub.on("kiv/g/beat/values").size() >= 3; }, 15s)) << gw.err();

    const auto beats = sub.on("kiv/g/beat/values");
    for (std::size_t i = 1; i < beats.size(); ++i) {
        const int gap = json::parse(beats[i].payload)["seq"].get<int>() - json::parse(beats[i - 1].payload)["seq"].get<int>();
        // 10 periods of 100 ms; one more when that poll came late (emulators).
        EXPECT_TRUE(gap == 10 || gap == 11) << gap;
    }
    EXPECT_EQ(sub.on("kiv/g/quiet/values").size(), 1u);
    EXPECT_GE(sub.on("kiv/g/every/values").size(), 15u);

    sub.publish("kiv/g/quiet/do/1/set", "on");
    EXPECT_TRUE(sub.wait_for([&](auto &) {
        auto v = sub.on("kiv/g/quiet/values");
        return v.size() == 2 && json::parse(v.back().payload)["do"][0]["on"] == true;
    }, 5s)) << "the switched output, long before a heartbeat";
}
