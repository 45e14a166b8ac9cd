// Never a wrong value: modules whose replies come late, whose connections
// close after a few requests, that answer exceptions, or that are killed and
// started again, all polled through one gateway; every value published must
// be what that module held for that channel around the time of its poll.
// The simulators follow the wall clock (--wall-clock), so the test computes
// what each held with the simulator's own functions.
#include "gateway_fixture.h"

#include "values.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <thread>

using namespace gwtest;
using nlohmann::json;

namespace {

struct Module {
    std::string name;
    int model;
    std::string options;   // the fault switches
    int index = 0;         // in its simulator process
    int port = 0;
};

double number(const zrmsim::Reading &r)
{
    const double v = r.integer + r.fraction / 10.0;
    return r.negative ? -v : v;
}

bool near(const json &published, double expected)
{
    return published.is_number() && std::fabs(published.get<double>() - expected) < 1e-6;
}

// Whether one group of channels (one exchange's) equals what module index
// held at some moment within window of t.
template <class F> bool held_around(double t, F equal_at)
{
    // A reply is taken within the timeout after its request, and the later
    // reads of a poll follow within a few timeouts: 150 ms either side, less
    // than the 300 ms poll period, so a reply of another poll never passes.
    // Fine steps, since two channels may change within a millisecond of
    // each other; outwards from t, where a right value is found at once.
    constexpr int steps = 15000;   // of 10 us
    for (int i = 0; i <= steps; ++i)
        if (equal_at(t + i * 1e-5) || equal_at(t - i * 1e-5))
            return true;
    return false;
}

// The first wrong group of a values object, or "" when all are right.
std::string wrong_group(const json &v, int index)
{
    const double t = epoch_seconds(v["ts"]);
    auto at = [&](double when) { return zrmsim::live_time(index, when); };
    if (v.contains("ai") && !held_around(t, [&](double w) {
            for (int ch = 0; ch < 8; ++ch)
                if (!near(v["ai"][static_cast<std::size_t>(ch)]["value"], number(zrmsim::live_ai(8, ch, at(w)))))
                    return false;
            return true;
        }))
        return "ai";
    if (v.contains("tc") && !held_around(t, [&](double w) {
            for (int ch = 0; ch < 3; ++ch) {
                const auto r = zrmsim::live_tc(ch, at(w));
                if (!near(v["tc"][static_cast<std::size_t>(ch)]["temperature"], number(r.temperature)) ||
                    !near(v["tc"][static_cast<std::size_t>(ch)]["reference"], number(r.reference)))
                    return false;
            }
            return true;
        }))
        return "tc";
    if (v.contains("di") && !held_around(t, [&](double w) {
            const unsigned bits = zrmsim::live_di(static_cast<int>(v["di"].size()), at(w));
            for (std::size_t i = 0; i < v["di"].size(); ++i)
                if (v["di"][i]["on"].get<bool>() != (((bits >> i) & 1u) != 0))
                    return false;
            return true;
        }))
        return "di";
    if (v.contains("sensors") && !held_around(t, [&](double w) {
            for (int reg = 0; reg < 24; ++reg)
                if (v["sensors"][static_cast<std::size_t>(reg)] != zrmsim::live_sensor(reg, at(w)))
                    return false;
            return true;
        }))
        return "sensors";
    return "";
}

std::string plant_file(const std::vector<Module> &plant)
{
    char name[] = "/tmp/kiv-gateway-plant-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0)
        ::close(fd);
    std::ofstream out(name);
    for (std::size_t i = 0; i < plant.size(); ++i)
        out << "--model " << plant[i].model << " --address 127.0.32." << i + 1
            << " --modbus-port 0 --config-port 0 " << plant[i].options << "\n";
    return name;
}

} // namespace

TEST(NeverAWrongValue, LateClosedExceptionalAndRestartedModules)
{
    std::vector<Module> plant = {
        {"clean", 7301, ""},
        {"late-ai", 7301, "--delay-ms 130 --slow-every 3"},
        {"late-tc", 7303, "--delay-ms 130 --slow-every 5"},
        {"late-dio", 7302, "--delay-ms 130 --slow-every 4"},
        {"closing", 7302, "--close-after 7"},
        {"refusing", 7303, "--exception 4"},
    };
    const std::string file = plant_file(plant);
    zrmtest::SimProcess sims({"--wall-clock", "--plant", file});
    sims.expect_modules(static_cast<int>(plant.size()));
    ASSERT_TRUE(sims.start()) << sims.error();
    for (std::size_t i = 0; i < plant.size(); ++i) {
        plant[i].index = static_cast<int>(i);
        plant[i].port = sims.modules()[i].modbus_port;
    }
    ::unlink(file.c_str());
    // One more module in a process of its own, killed and started again.
    auto restarted = std::make_unique<ModuleSim>("127.0.32.20", std::vector<std::string>{"--model", "7301",
                                                                                         "--wall-clock"});
    ASSERT_TRUE(restarted->ready());
    const int restarted_port = restarted->modbus_port;

    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port());
    std::string config = gateway_toml("plant", &broker);
    for (std::size_t i = 0; i < plant.size(); ++i) {
        ModuleSim where("", {});
        where.address = "127.0.32." + std::to_string(i + 1);
        where.modbus_port = plant[i].port;
        config += module_toml(plant[i].name, plant[i].model, where, 300, 100);
    }
    config += module_toml("restarted", 7301, *restarted, 300, 100);
    Gateway gw(config);

    int kills = 0;
    for (int round = 0; round < 3; ++round) {
        std::this_thread::sleep_for(2500ms);
        restarted->stop();
        ++kills;
        std::this_thread::sleep_for(500ms);
        restarted = std::make_unique<ModuleSim>(
            "127.0.32.20", std::vector<std::string>{"--model", "7301", "--wall-clock"}, restarted_port);
        ASSERT_TRUE(restarted->ready());
    }
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(gw.stop(), 0) << gw.err();

    plant.push_back({"restarted", 7301, "", 0, restarted_port});
    std::size_t checked = 0, wrong = 0, gaps = 0;
    for (const Module &m : plant) {
        const auto values = sub.on("kiv/plant/" + m.name + "/values");
        if (m.name == "refusing") {
            EXPECT_TRUE(values.empty()) << "a module that answers only exceptions has no values";
            continue;
        }
        EXPECT_GE(values.size(), 5u) << m.name << " was hardly ever polled";
        long last_seq = 0;
        for (const Message &msg : values) {
            const json v = json::parse(msg.payload);
            const std::string group = wrong_group(v, m.index);
            ++checked;
            if (!group.empty()) {
                ++wrong;
                ADD_FAILURE() << m.name << ": " << group << " is not what the module held: " << msg.payload;
            }
            const long seq = v["seq"];
            if (last_seq)
                gaps += static_cast<std::size_t>(seq - last_seq - 1);
            last_seq = seq;
        }
    }
    EXPECT_EQ(wrong, 0u);
    // Faults did happen: polls without values (late replies, closed
    // connections, the restarts).
    EXPECT_GT(gaps, 10u);
    std::printf("never-a-wrong-value run: %zu values objects checked, %zu poll periods without values "
                "(faults), %d restarts, wrong values: %zu\n",
                checked, gaps, kills, wrong);
}
