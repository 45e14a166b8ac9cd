// The gateway's engine in-process: its event loop and module state machines
// against the scripted peer (exact bytes, late and broken replies) and
// zrm-sim, with a recording output in place of MQTT.
#include "engine.h"
#include "descriptor_limit.h"
#include "gateway_fixture.h"

#include "fake_peer.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

namespace {

using namespace gateway;
using kivtest::Bytes;
using kivtest::FakePeer;
using kivtest::hex;
using namespace std::chrono_literals;

class Recorder final : public Output, public ExchangeObserver {
public:
    void poll(const PollResult &r) override { add(polls, r); }
    void status(const StatusChange &s) override
    {
        std::lock_guard lock(mu);
        statuses.push_back(s);
        polls_at_status.push_back(polls.size());
    }
    void command_result(const CommandResult &c) override { add(commands, c); }
    void connected(std::size_t, int code) override { add(connects, code); }
    void exchanged(std::size_t, int code, Clock::duration) override { add(exchanges, code); }

    template <class F> bool wait(F pred, std::chrono::milliseconds limit = 5s)
    {
        for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
            std::lock_guard lock(mu);
            if (pred())
                return true;
        }
        return false;
    }
    template <class T> std::vector<T> copy(const std::vector<T> &v)
    {
        std::lock_guard lock(mu);
        return v;
    }
    std::mutex mu;
    std::vector<PollResult> polls;
    std::vector<StatusChange> statuses;
    std::vector<CommandResult> commands;
    std::vector<int> connects, exchanges;
    std::vector<std::size_t> polls_at_status;  // how many polls came before each status

private:
    template <class T> void add(std::vector<T> &v, const T &x)
    {
        std::lock_guard lock(mu);
        v.push_back(x);
    }
};

ModuleConfig module(int model, int port, int interval_ms = 200, int timeout_ms = 100,
                    const std::string &address = FakePeer::address)
{
    ModuleConfig m;
    m.name = "m" + std::to_string(port);
    m.model = model;
    m.traits = kiv::find_model(model);
    m.address = address;
    m.modbus_port = port;
    m.interval_ms = interval_ms;
    m.timeout_ms = timeout_ms;
    m.commands = true;
    return m;
}

// The engine on a loop thread of its own, stopped when the test ends.
class EngineRun {
public:
    explicit EngineRun(std::vector<ModuleConfig> modules)
    {
        config_.id = "t";
        config_.modules = std::move(modules);
        engine_ = std::make_unique<Engine>(config_, PollerContext{loop_, rec, workers_, &rec});
        engine_->start();
        thread_ = std::thread([this] { loop_.run(); });
    }
    ~EngineRun() { stop(); }
    void post(const OutputCommand &c)
    {
        loop_.post([this, c] { engine_->post(c); });
    }
    void stop()
    {
        if (!thread_.joinable())
            return;
        loop_.post([this] {
            engine_->stop();
            loop_.quit();
        });
        thread_.join();
    }
    Recorder rec;

private:
    Config config_;
    Loop loop_;
    Workers workers_{1};
    std::unique_ptr<Engine> engine_;
    std::thread thread_;
};

// A 7301's two requests with transaction id t, and their replies: channel
// 1 at 12.50, the others zero, the output on or off.
Bytes frame(int t, const std::string &rest)
{
    char id[8];
    std::snprintf(id, sizeof id, "%02x %02x ", (t >> 8) & 0xff, t & 0xff);
    return hex(id + rest);
}
Bytes read_ai(int t) { return frame(t, "00 00 00 06 00 03 01 00 00 18"); }
Bytes read_do(int t) { return frame(t, "00 00 00 06 00 01 00 00 00 01"); }
// A poll's two requests, sent together.
Bytes poll_7301(int t) { return kivtest::concat(read_ai(t), read_do(t + 1)); }
Bytes ai_reply(int t)
{
    Bytes b = frame(t, "00 00 00 33 00 03 30 01 00 00 0c 00 32");
    b.resize(b.size() + 42, 0);
    return b;
}
Bytes do_reply(int t, bool on) { return frame(t, on ? "00 00 00 04 00 01 01 01" : "00 00 00 04 00 01 01 00"); }

} // namespace

// Once the module answers, a poll's requests go out together; their late
// replies are dropped by id on the same connection.
TEST(Engine, LateReplyIsDroppedByItsIdAndTheConnectionKept)
{
    FakePeer peer;
    peer.expect(read_ai(1)).send(ai_reply(1)).expect(read_do(2)).send(do_reply(2, false));
    // Both replies after the 300 ms timeout, before the next poll.
    peer.expect(poll_7301(3)).send(ai_reply(3), 450ms).send(do_reply(4, false));
    peer.expect(read_ai(5)).send(ai_reply(5)).expect(read_do(6)).send(do_reply(6, true));
    peer.start();
    ModuleConfig m = module(7301, peer.port(), 600, 300);
    m.offline_after = 1;
    EngineRun run({m});
    auto &r = run.rec;
    ASSERT_TRUE(r.wait([&] { return r.polls.size() >= 3; }));
    const auto polls = r.copy(r.polls);
    EXPECT_EQ(polls[0].code, KIV_OK);
    EXPECT_EQ(polls[1].code, KIV_ERR_TIMEOUT);
    EXPECT_EQ(polls[2].code, KIV_OK);
    EXPECT_EQ(polls[2].seq, polls[1].seq + 1);
    ASSERT_EQ(polls[2].image.ai.size(), 8u);
    EXPECT_EQ(polls[2].image.ai[0].value.text(), "12.50");
    EXPECT_EQ(polls[2].image.outputs, std::vector<bool>{true});
    EXPECT_EQ(r.copy(r.connects), std::vector<int>{0});
    EXPECT_EQ(r.copy(r.exchanges), (std::vector<int>{KIV_OK, KIV_OK, KIV_ERR_TIMEOUT, KIV_OK, KIV_OK}));
    const auto st = r.copy(r.statuses);
    ASSERT_EQ(st.size(), 3u);
    EXPECT_TRUE(st[0].online && !st[1].online && st[2].online);
    run.stop();
    peer.finish();
}

// What breaks the stream closes the connection, and the next poll is made
// on a fresh one (one request at a time while the module is not answering).
TEST(Engine, WhatBreaksTheStreamClosesTheConnection)
{
    struct Case {
        const char *name;
        int code;
        std::function<void(FakePeer &)> breaks;
        int next_id;
    };
    const Case cases[] = {
        {"a reply that is not Modbus/TCP", KIV_ERR_RESPONSE,
         [](FakePeer &p) { p.expect(read_ai(1)).send(frame(1, "00 01 00 03 00 03 00")).expect_closed(); }, 2},
        {"a run of timeouts", KIV_ERR_TIMEOUT,
         [](FakePeer &p) { p.expect(read_ai(1)).expect(read_ai(2)).expect(read_ai(3)).expect_closed(); }, 4},
        {"a reset", ECONNRESET, [](FakePeer &p) { p.expect(read_ai(1)).reset(); }, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakePeer peer;
        c.breaks(peer);
        peer.accept_next().expect(read_ai(c.next_id)).send(ai_reply(c.next_id));
        peer.expect(read_do(c.next_id + 1)).send(do_reply(c.next_id + 1, false));
        peer.start();
        // Timeouts are what breaks the second case: long enough that a
        // loaded machine's peer is never late in the others.
        EngineRun run({module(7301, peer.port(), 100, 500)});
        auto &r = run.rec;
        EXPECT_TRUE(r.wait([&] { return !r.polls.empty() && r.polls.back().code == KIV_OK; }));
        run.stop();
        const auto polls = r.copy(r.polls);
        ASSERT_FALSE(polls.empty());
        EXPECT_EQ(polls[0].code, c.code);
        EXPECT_EQ(r.copy(r.connects), (std::vector<int>{0, 0}));
        peer.finish();
    }
}

// offline_after = 3: failed polls between good ones leave the module
// online, and three in a row make it offline.
TEST(Engine, ModuleGoesOfflineOnlyAfterFailedPollsInARow)
{
    FakePeer peer;
    peer.expect(read_ai(1)).send(ai_reply(1)).expect(read_do(2)).send(do_reply(2, false));
    // Unanswered: failed polls; after one, a poll's reads go one at a time.
    peer.expect(poll_7301(3));
    peer.expect(read_ai(5)).send(ai_reply(5)).expect(read_do(6)).send(do_reply(6, false));
    peer.expect(poll_7301(7));
    peer.expect(read_ai(9)).send(ai_reply(9)).expect(read_do(10)).send(do_reply(10, false));
    peer.expect(poll_7301(11)).expect(read_ai(13)).expect(read_ai(14)).expect_closed();
    peer.start();
    EngineRun run({module(7301, peer.port(), 400, 300)});
    auto &r = run.rec;
    ASSERT_TRUE(r.wait([&] { return r.statuses.size() >= 2; }, 10s));
    run.stop();
    std::vector<int> codes;
    for (const PollResult &p : r.copy(r.polls))
        codes.push_back(p.code);
    const int T = KIV_ERR_TIMEOUT;
    codes.resize(8);
    EXPECT_EQ(codes, (std::vector<int>{KIV_OK, T, KIV_OK, T, KIV_OK, T, T, T}));
    const auto st = r.copy(r.statuses);
    EXPECT_TRUE(st[0].online && !st[1].online);
    EXPECT_EQ(st[1].code, T);
    EXPECT_EQ(r.copy(r.polls_at_status), (std::vector<std::size_t>{0, 8}));
    peer.finish();
}

TEST(Engine, CommandRunsBetweenPollsAndAFullQueueIsAnsweredAtOnce)
{
    FakePeer peer;
    peer.expect(read_ai(1)).send(ai_reply(1)).expect(read_do(2)).send(do_reply(2, false));
    const Bytes write_on = frame(3, "00 00 00 06 00 05 00 00 ff 00");
    peer.expect(write_on).send(write_on).expect(read_do(4)).send(do_reply(4, true));
    peer.expect(frame(5, "00 00 00 06 00 05 00 00 ff 00"));  // and no answer
    peer.start();
    EngineRun run({module(7301, peer.port(), 1000, 500)});
    auto &r = run.rec;
    ASSERT_TRUE(r.wait([&] { return !r.polls.empty(); }));
    run.post({0, 1, true});
    ASSERT_TRUE(r.wait([&] { return !r.commands.empty(); }));
    const CommandResult done = r.copy(r.commands)[0];
    EXPECT_EQ(done.code, KIV_OK);
    EXPECT_TRUE(done.on);

    // The peer is silent from here: one command waits for its timeout, the
    // queue takes its limit, the rest are answered busy and written nowhere.
    for (int i = 0; i < 20; ++i)
        run.post({0, 1, i % 2 == 0});
    EXPECT_TRUE(r.wait([&] {
        return std::count_if(r.commands.begin(), r.commands.end(), [](auto &c) { return c.code == EBUSY; }) >= 3;
    }));
    // A stop does not wait for the queue.
    const auto start = Clock::now();
    run.stop();
    EXPECT_LT(Clock::now() - start, 500ms);
    peer.finish();
}

TEST(Engine, ModuleLateNowAndThenKeepsItsConnectionAndPublishesTheTimelyPolls)
{
    // Every third answer comes after the timeout (and before the next
    // poll): a 7301's poll of two reads then fails every other time.
    gwtest::ModuleSim sim("127.0.33.1", {"--model", "7301", "--ai", "1=12.50", "--delay-ms", "450", "--slow-every", "3"});
    ASSERT_TRUE(sim.ready());
    EngineRun run({module(7301, sim.modbus_port, 600, 250, sim.address)});
    auto &r = run.rec;
    EXPECT_TRUE(r.wait([&] {
        return std::count_if(r.polls.begin(), r.polls.end(), [](auto &p) { return p.code == KIV_OK; }) >= 4;
    }, 15s));
    run.stop();
    // Never three failed polls in a row: never offline.
    const auto st = r.copy(r.statuses);
    ASSERT_EQ(st.size(), 1u);
    EXPECT_TRUE(st[0].online);
    for (const PollResult &p : r.copy(r.polls)) {
        EXPECT_TRUE(p.code == KIV_OK || p.code == KIV_ERR_TIMEOUT) << p.code;
        if (p.code == KIV_OK) {
            EXPECT_EQ(p.image.ai.at(0).value.text(), "12.50");
        }
    }
    EXPECT_EQ(r.copy(r.connects), std::vector<int>{0});
}

TEST(Engine, TooFewDescriptorsAreToldWithTheNumbers)
{
    const gateway::Config none;
    const std::size_t all = std::numeric_limits<std::size_t>::max();
    try {
        raise_descriptor_limit(none, "gw.toml", all - descriptors_needed(none));
        ADD_FAILURE() << "not refused";
    } catch (const gateway::ConfigError &e) {
        EXPECT_EQ(std::string(e.what()).rfind("gw.toml: 0 modules: " + std::to_string(all) +
                                                  " descriptors needed, the limit is ",
                                              0),
                  0u)
            << e.what();
    }
    EXPECT_NO_THROW(raise_descriptor_limit(none, "gw.toml"));
}
