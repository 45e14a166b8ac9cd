// Sixteen threads on sixteen handles at once, against four simulated
// modules with values of their own: every reply must reach the handle that
// asked for it. The library keeps no state, so any sharing between calls
// (a static buffer, a shared frame) shows here as another module's data or,
// under ThreadSanitizer, as a race.
#include "modules.h"

#include "kiv.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

using namespace kivstress;

namespace {

constexpr int threads = 16;
constexpr int rounds = 250;        // process-data reads per thread
constexpr int config_every = 10;   // a configuration read every tenth round
constexpr int timeout_ms = 2000;   // generous: this test is about data, not time

struct Outcome {
    int reads = 0;
    int config_reads = 0;
    std::vector<std::string> faults;
};

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        modules.push_back(make_module(Model::zrm7301, 0, "127.0.1.1"));
        modules.push_back(make_module(Model::zrm7301, 1, "127.0.1.2"));
        modules.push_back(make_module(Model::zrm7302, 0, "127.0.1.3"));
        modules.push_back(make_module(Model::zrm7303, 0, "127.0.1.4"));
        for (auto &m : modules)
            ASSERT_TRUE(m.sim->start()) << m.sim->error();
    }

    std::vector<Module> modules;
};

// One thread's work: its own Modbus handle and its own configuration
// dialogue with module m, records compared on every read.
void work(const Module &m, Outcome &out)
{
    const auto &sim = *m.sim;
    int handle = -1;
    int cfg = -1;
    if (const int rc = KIV_Connect(sim.address().c_str(), sim.modbus_port(), timeout_ms, &handle)) {
        out.faults.push_back("connect: " + std::to_string(rc));
        return;
    }
    if (const int rc =
            KIV_Cfg_Login(sim.address().c_str(), sim.config_port(), timeout_ms, "", &cfg)) {
        out.faults.push_back("login: " + std::to_string(rc));
        KIV_Close(handle);
        return;
    }
    for (int round = 0; round < rounds && out.faults.size() < 5; ++round) {
        Bytes data;
        if (const int rc = read_records(m, handle, timeout_ms, data); rc != KIV_OK)
            out.faults.push_back("read " + std::to_string(round) + ": " + std::to_string(rc));
        else if (data != m.records)
            out.faults.push_back("read " + std::to_string(round) + ": another module's data");
        else
            ++out.reads;
        if (m.model == Model::zrm7302) {
            unsigned char di[2] = {};
            int len = 0;
            const int rc = KIV_ZRM_7302_DI_Read(handle, timeout_ms, 1, 16, di, 2, &len);
            if (rc != KIV_OK || len != 2 || Bytes(di, di + 2) != m.inputs)
                out.faults.push_back("DI read " + std::to_string(round) + ": " +
                                     std::to_string(rc));
        }
        if (round % config_every == 0) {
            unsigned char povp = 0;
            int count = 0;
            const int rc = KIV_Cfg_Get_DO_PowerOnValue(cfg, timeout_ms, 0, 8, &povp, 1, &count);
            if (rc != KIV_OK || count != 1 || povp != m.povp)
                out.faults.push_back("u8_povp " + std::to_string(round) + ": " +
                                     std::to_string(rc) + ", " + std::to_string(povp));
            else
                ++out.config_reads;
        }
    }
    KIV_Cfg_Exit(cfg);
    KIV_Close(handle);
}

TEST_F(Concurrency, SixteenThreadsEachGetTheirOwnModulesData)
{
    std::array<Outcome, threads> outcomes{};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(work, std::cref(modules[static_cast<std::size_t>(t) % modules.size()]),
                          std::ref(outcomes[static_cast<std::size_t>(t)]));
    for (auto &th : pool)
        th.join();

    for (int t = 0; t < threads; ++t) {
        const auto &o = outcomes[static_cast<std::size_t>(t)];
        for (const auto &f : o.faults)
            ADD_FAILURE() << "thread " << t << ": " << f;
        EXPECT_EQ(o.reads, rounds) << "thread " << t;
        EXPECT_EQ(o.config_reads, rounds / config_every) << "thread " << t;
    }
}

} // namespace
