// The gateway's JSON over MQTT, through a client driven from the engine's
// loop. Each poll's values are published when they come, on the loop's
// thread. What waits for
// the broker (queued here, handed to the client and not yet written, or
// not yet acknowledged) is at most queue_limit messages whatever the broker
// does: away, or connected but not reading. Past it the oldest queued are
// dropped, and every message that is not delivered is counted by reason.
// The retained statuses are published again on every connect, since a
// restarted broker may have lost them.
//
// With a store, each values message is committed to it at the end of the
// loop's turn and only then handed to the client; it leaves the store when
// the broker has taken it (PUBACK, or written at QoS 0). What the client
// had no room for, what a lost connection took and what an earlier run left
// is the backlog, replayed oldest first at replay_per_s within half the
// client's window, so that live values always find room.
#pragma once

#include "config.h"
#include "discovery.h"
#include "loop.h"
#include "mqtt_client.h"
#include "pipeline.h"
#include "report_by_exception.h"
#include "store.h"
#include "token_bucket.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace gateway {

class Metrics;

class MqttOutput final : public Output, public MqttClient::Events, public TimerTarget {
public:
    // metrics, when not null, is told whether the broker is connected.
    MqttOutput(const Config &c, Loop &loop, Metrics *metrics = nullptr);
    ~MqttOutput() override;
    MqttOutput(const MqttOutput &) = delete;
    MqttOutput &operator=(const MqttOutput &) = delete;

    // Before start: takes "kiv/<id>/<module>/do/<channel>/set" commands,
    // checked, on the loop's thread, while any module takes commands.
    void take_commands(std::function<void(const OutputCommand &)> h) { commands_ = std::move(h); }
    // Retained messages published on every connect (Home Assistant's
    // discovery). Before start, or on the loop's thread after a reload:
    // the topics no longer among them are cleared on the broker.
    void announce(std::vector<Retained> messages);

    // Before start: values go through the store (which outlives this).
    void use_store(Store &s);

    // Sets the client up and makes the first connect attempt; ConfigError
    // when it cannot even be set up (what check_mqtt refuses, should a file
    // have changed since). Before the loop runs.
    void start();
    // On the loop's thread: "offline" for the modules and the gateway, a
    // clean disconnect once the broker has taken them, then done(); done()
    // by the deadline in any case.
    void leave(Clock::time_point deadline, std::function<void()> done);

    // Messages not delivered, of every reason.
    std::uint64_t dropped() const;

    void poll(const PollResult &r) override;
    void status(const StatusChange &s) override;
    void command_result(const CommandResult &c) override;
    void settings(const SettingsReport &s) override;
    void modules_changed(const ModulesChanged &m) override;
    void flush() override;

    void connected() override;
    void disconnected(int rc) override;
    void published(int mid) override;
    void message(const std::string &topic, std::string_view payload) override;

    void expired(std::uint64_t tag) override;
    bool wanted(std::uint64_t tag) const override { return alarm_.wanted(tag); }

private:
    struct Message {
        std::string topic;
        std::string payload;
        bool retain = false;
    };


    void send(std::string topic, std::string payload, bool retain = false);
    void hand_fresh();
    void hand_stored(std::int64_t row, const std::string &topic, const std::string &payload);
    void replay(Clock::time_point now);
    void forget_stored(int mid, bool written);
    void drop(DropReason why, std::uint64_t n);
    // written: the client wrote it inside the call (QoS 0).
    bool publish(const std::string &topic, const std::string &payload, bool retain, int qos, int *mid = nullptr,
                 bool *written = nullptr);
    void publish_queued();
    void publish_statuses();
    void publish_owed();
    void subscribe_commands();
    void finish();
    // Arms the timer for the earliest of what waits on it.
    void sync();

    const Config &config_;
    MqttConfig mqtt_;
    Loop &loop_;
    Metrics *const metrics_;
    std::string root_;            // "kiv/<id>/"
    MqttClient client_;
    std::function<void(const OutputCommand &)> commands_;
    std::vector<Retained> announce_;
    // Retained messages owed to the broker since a reload, published when
    // it is next connected: "offline" for removed modules, empty payloads
    // that clear their discovery.
    std::vector<Retained> owed_;
    bool subscribed_ = false;

    // What waits for the broker: queue_ plus what the client holds.
    std::size_t limit_;
    // Handed to the client at most: its window of QoS 1 messages in flight.
    std::size_t window_;
    std::deque<Message> queue_;
    std::size_t in_client_ = 0;
    // QoS 0 messages the client has not written yet: a lost connection
    // loses them (the client resends QoS 1 messages after a reconnect).
    std::unordered_set<int> unwritten_;
    bool statuses_stale_ = false; // a status change waits for room

    // The store and the rows of it that the client holds.
    Store *store_ = nullptr;
    struct Fresh {
        std::int64_t row;
        std::string topic, payload;
    };
    std::vector<Fresh> fresh_;    // stored, handed over once committed
    Clock::time_point commit_at_ = Clock::time_point::max();
    std::unordered_map<int, std::int64_t> stored_mids_;  // mid -> row
    std::unordered_set<std::int64_t> stored_rows_;       // the rows among them
    std::int64_t replayed_up_to_ = 0;  // the last row that replay looked at
    Clock::time_point replay_at_ = Clock::time_point::max();
    std::vector<int> statuses_;   // per module: -1 unknown, 0 offline, 1 online
    ExceptionFilters filters_;    // modules that publish on change
    TokenBucket replay_rate_;     // the backlog's replay_per_s
    std::array<std::uint64_t, drop_reasons> dropped_{};
    std::uint64_t episode_dropped_ = 0;  // since the log said so

    bool connected_ = false;
    // The store's upkeep, about once a second.
    Clock::time_point maintain_at_ = Clock::time_point::max();
    Alarm alarm_{loop_, *this};

    bool leaving_ = false;
    int last_mid_ = -1;
    std::size_t goodbyes_ = 0;    // messages held once the goodbyes were handed over
    Clock::time_point leave_by_{};
    std::function<void()> done_;
};

} // namespace gateway
