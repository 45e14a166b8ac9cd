// Report by exception: what counts as a change against the deadband, the
// filter's first poll, drift and heartbeat, the keys as the file gives
// them, and end to end a "change" module beside an "every_poll" one.
#include "gateway_fixture.h"
#include "report_by_exception.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <sstream>

using namespace gwtest;
using namespace gateway;
using nlohmann::json;

namespace {

kiv::reading r(unsigned integer, unsigned fraction) { return {false, integer, fraction}; }

// All kinds of channel in one image: image_changed looks at each.
ProcessImage image()
{
    ProcessImage p;
    p.ai = {{true, r(12, 50)}, {false, r(1, 1)}};
    p.tc = {{true, r(25, 5), r(24, 3), 0}};
    p.di = {false, true};
    p.outputs = {false};
    p.sensors = {1000, 1100};
    return p;
}

ModuleConfig change_module(int heartbeat_s, double deadband)
{
    ModuleConfig m;
    m.name = "m";
    m.traits = kiv::find_model(7301);
    m.interval_ms = 100;
    m.publish = Publish::change;
    m.heartbeat_s = heartbeat_s;
    m.deadband = deadband;
    return m;
}

} // namespace

TEST(ReportByException, ChangesAreWhatMovedBeyondTheDeadbandOrFlipped)
{
    struct Case {
        const char *what;
        double deadband;
        std::function<void(ProcessImage &)> change;
        bool changed;
    };
    const Case cases[] = {
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
    for (const Case &c : cases) {
        ProcessImage last = image(), now = image();
        c.change(now);
        EXPECT_EQ(image_changed(last, now, c.deadband), c.changed) << c.what;
    }
}

TEST(ReportByException, FilterPublishesFirstDriftHeartbeatAndAfterOffline)
{
    ExceptionFilter f(change_module(1, 0.5));
    struct Step {
        std::uint64_t seq;
        unsigned tenths;  // AI 1 is 10.<tenths>
        bool published;
    };
    // The drift counts from the last value published, not the last polled;
    // the heartbeat comes 10 periods (1 s of 100 ms) after the last publish.
    for (const Step &s : {Step{1, 0, true}, Step{2, 3, false}, Step{3, 6, true}, Step{4, 9, false},
                          Step{12, 9, false}, Step{13, 9, true}, Step{14, 9, false}}) {
        ProcessImage p = image();
        p.ai[0].value = r(10, s.tenths);
        EXPECT_EQ(f.publish(s.seq, p), s.published) << "seq " << s.seq;
    }

    ModuleConfig every = change_module(60, 0);
    every.publish = Publish::every_poll;
    const std::vector<ModuleConfig> modules{change_module(60, 0), every};
    ExceptionFilters filters(modules);
    const ProcessImage p = image();
    EXPECT_TRUE(filters.publish({0, 1, 0, p}));
    EXPECT_FALSE(filters.publish({0, 2, 0, p}));
    EXPECT_TRUE(filters.publish({1, 2, 0, p}));
    filters.status({0, false, KIV_ERR_TIMEOUT});
    EXPECT_TRUE(filters.publish({0, 9, 0, p})) << "the first poll after offline";
    const std::vector<std::size_t> none, changed{0};
    filters.modules_changed({modules, modules, none, none, changed});
    EXPECT_TRUE(filters.publish({0, 10, 0, p})) << "the first poll after a reload changed the module";
}

TEST(ReportByException, KeysAreReadOrRefusedWithTheirLine)
{
    const std::string path = temp_dir() + "/gw.toml";
    const std::string head = "[gateway]\nid = \"g\"\n[[module]]\nname = \"m\"\nmodel = 7301\naddress = \"x\"\n";
    // What the module got ("publish deadband heartbeat_s"), or the error.
    const std::pair<std::string, std::string> cases[] = {
        {"publish = \"change\"\ndeadband = 2\nheartbeat_s = 5\n", "change 2 5"},
        {"deadband = 0.25\n", "every_poll 0.25 60"},
        {"publish = \"sometimes\"\n", ":7: module \"m\": publish must be \"every_poll\" or \"change\", not \"sometimes\""},
        {"deadband = -1\n", ":7: module \"m\": deadband must be a finite number >= 0"},
        {"deadband = inf\n", ":7: module \"m\": deadband must be a finite number >= 0"},
        {"deadband = \"1\"\n", ":7: module \"m\": deadband must be a number"},
        {"heartbeat_s = 0\n", ":7: module \"m\": heartbeat_s must be 1..86400, not 0"},
    };
    for (const auto &[keys, expected] : cases) {
        std::ofstream(path) << head << keys;
        std::string got;
        if (auto config = load_config(path, got)) {
            const ModuleConfig &m = config->modules[0];
            std::ostringstream o;
            o << (m.publish == Publish::change ? "change " : "every_poll ") << m.deadband << " " << m.heartbeat_s;
            got = o.str();
        }
        EXPECT_NE(got.find(expected), std::string::npos) << got << "\nexpected: " << expected;
    }
}

TEST(ReportByException, ChangeModulePublishesFirstPollHeartbeatsAndASwitchedOutputAtOnce)
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
               "publish = \"change\"\ncommands = true\n" + module_toml("every", 7301, every));
    ASSERT_TRUE(sub.wait_for([&](auto &) { return sub.on("kiv/g/beat/values").size() >= 3; }, 15s)) << gw.err();

    std::vector<int> seqs;
    for (const Message &m : sub.on("kiv/g/beat/values"))
        seqs.push_back(json::parse(m.payload)["seq"]);
    for (std::size_t i = 1; i < seqs.size(); ++i) {
        // 10 periods of 100 ms; one more when that poll came late (emulators).
        EXPECT_GE(seqs[i] - seqs[i - 1], 10);
        EXPECT_LE(seqs[i] - seqs[i - 1], 11);
    }
    EXPECT_EQ(sub.on("kiv/g/quiet/values").size(), 1u);
    EXPECT_GE(sub.on("kiv/g/every/values").size(), 15u);

    sub.publish("kiv/g/quiet/do/1/set", "on");
    EXPECT_TRUE(sub.wait_for([&](auto &) {
        auto v = sub.on("kiv/g/quiet/values");
        return v.size() == 2 && json::parse(v.back().payload)["do"][0]["on"] == true;
    }, 5s)) << "the switched output, long before a heartbeat";
}
