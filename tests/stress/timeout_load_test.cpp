// The library's own timeouts under load: with the simulator holding back
// its answers, every exchange gives up after its timeout and not much
// later, one waiting alone or sixteen waiting at once while other threads
// keep a module busy. Each call makes one wait bounded by its timeout, so
// the margin only has to cover scheduling on a loaded machine.
#include "modules.h"

#include "kiv.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace kivstress;
using Clock = std::chrono::steady_clock;

namespace {

// How long the slow module holds back every answer: longer than all the
// waits one handle makes, so that no late reply lands inside a later wait.
constexpr int delay_ms = 1000;
constexpr int timeout_ms = 100;   // the exchanges' timeout, well below that delay
constexpr int margin_ms = 300;    // generous: two cores, sanitizers, other tests
constexpr int waiters = 16;
constexpr int waits_per_thread = 3;

long ms_since(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class TimeoutsUnderLoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto *m : {&slow, &fast})
            ASSERT_TRUE(m->sim->start()) << m->sim->error();
    }

    Module slow = make_module(Model::zrm7301, 0, "127.0.3.1",
                              {"--delay-ms", std::to_string(delay_ms)});
    Module fast = make_module(Model::zrm7302, 0, "127.0.3.2");
};

struct Timed {
    int rc = -1;
    long ms = 0;
};

Timed timed_read(const Module &m, int handle, int timeout)
{
    Bytes data;
    const auto start = Clock::now();
    Timed t;
    t.rc = read_records(m, handle, timeout, data);
    t.ms = ms_since(start);
    return t;
}

// One process-data read of the slow module on a fresh connection.
Timed slow_read(const Module &m, int timeout)
{
    int h = -1;
    if (const int rc = KIV_Connect(m.sim->address().c_str(), m.sim->modbus_port(), 2000, &h))
        return {rc, 0};
    const Timed t = timed_read(m, h, timeout);
    KIV_Close(h);
    return t;
}

TEST_F(TimeoutsUnderLoad, ModbusWaitEndsAtItsTimeout)
{
    const Timed t = slow_read(slow, timeout_ms);
    EXPECT_EQ(t.rc, KIV_ERR_TIMEOUT);
    EXPECT_GE(t.ms, timeout_ms - 1);
    EXPECT_LE(t.ms, timeout_ms + margin_ms);
}

TEST_F(TimeoutsUnderLoad, ModbusReplyWithinTheTimeoutIsTaken)
{
    const Timed t = slow_read(slow, delay_ms + 2000);
    EXPECT_EQ(t.rc, KIV_OK);
    EXPECT_LE(t.ms, delay_ms + 2000 + margin_ms);
}

TEST_F(TimeoutsUnderLoad, ConfigurationWaitsEndAtTheirTimeouts)
{
    // The login answer is held back as well: the connect is quick, the
    // answer's wait ends at the timeout.
    int h = -1;
    auto start = Clock::now();
    EXPECT_EQ(KIV_Cfg_Login(slow.sim->address().c_str(), slow.sim->config_port(), timeout_ms, "",
                            &h),
              KIV_ERR_TIMEOUT);
    long ms = ms_since(start);
    EXPECT_GE(ms, timeout_ms - 1);
    EXPECT_LE(ms, 2 * timeout_ms + margin_ms);

    // Logged in with a wait long enough, a parameter read then times out.
    ASSERT_EQ(KIV_Cfg_Login(slow.sim->address().c_str(), slow.sim->config_port(), delay_ms + 2000,
                            "", &h),
              KIV_OK);
    unsigned char bits = 0;
    int count = -1;
    start = Clock::now();
    EXPECT_EQ(KIV_Cfg_Get_AI_Enable(h, timeout_ms, 0, 8, &bits, 1, &count), KIV_ERR_TIMEOUT);
    ms = ms_since(start);
    EXPECT_EQ(count, 0);
    EXPECT_GE(ms, timeout_ms - 1);
    EXPECT_LE(ms, timeout_ms + margin_ms);
    KIV_Cfg_Exit(h);
}

TEST_F(TimeoutsUnderLoad, SixteenWaitersAtOnceWhileTheMachineIsBusy)
{
    // Two threads keep the fast module and both cores busy meanwhile.
    std::atomic<bool> stop{false};
    std::atomic<int> busy_failures{0};
    std::vector<std::thread> load;
    for (int i = 0; i < 2; ++i)
        load.emplace_back([&] {
            int h = -1;
            if (KIV_Connect(fast.sim->address().c_str(), fast.sim->modbus_port(), 2000, &h) !=
                KIV_OK) {
                ++busy_failures;
                return;
            }
            Bytes data;
            // Bounded in count as well as by the waiters' end.
            for (int n = 0; n < 200000 && !stop; ++n)
                if (read_records(fast, h, 2000, data) != KIV_OK)
                    ++busy_failures;
            KIV_Close(h);
        });

    std::array<std::array<Timed, waits_per_thread>, waiters> results{};
    std::vector<std::thread> pool;
    // Each waiter keeps its handle: the module answers in order, the first
    // late reply only after all of that handle's waits have ended.
    for (int t = 0; t < waiters; ++t)
        pool.emplace_back([&, t] {
            int h = -1;
            auto &mine = results[static_cast<std::size_t>(t)];
            if (const int rc =
                    KIV_Connect(slow.sim->address().c_str(), slow.sim->modbus_port(), 2000, &h)) {
                mine[0].rc = rc;
                return;
            }
            for (auto &r : mine)
                r = timed_read(slow, h, timeout_ms);
            KIV_Close(h);
        });
    for (auto &th : pool)
        th.join();
    stop = true;
    for (auto &th : load)
        th.join();

    EXPECT_EQ(busy_failures, 0);
    for (int t = 0; t < waiters; ++t)
        for (const Timed &r : results[static_cast<std::size_t>(t)]) {
            EXPECT_EQ(r.rc, KIV_ERR_TIMEOUT) << "thread " << t;
            EXPECT_GE(r.ms, timeout_ms - 1) << "thread " << t;
            EXPECT_LE(r.ms, timeout_ms + margin_ms) << "thread " << t;
        }
}

} // namespace
