// The gateway's JSON over MQTT, through libmosquitto driven from the
// engine's loop: its socket is one more descriptor in epoll, read and
// written when ready (mosquitto_loop_read/_write/_misc), so that no second
// thread and no select() is involved at any descriptor number. Each poll's
// values are published when they come, on the loop's thread. While the
// broker is away values wait in a bounded queue (the oldest are dropped
// first) and go out in order once it is back; the retained statuses are
// published again on every connect, since a restarted broker may have
// lost them.
#pragma once

#include "backoff.h"
#include "config.h"
#include "discovery.h"
#include "loop.h"
#include "pipeline.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace gateway {

class Metrics;

class MqttOutput final : public Output, public Watcher, public TimerTarget {
public:
    // metrics, when not null, is told whether the broker is connected.
    MqttOutput(const Config &c, Loop &loop, Metrics *metrics = nullptr);
    ~MqttOutput() override;
    MqttOutput(const MqttOutput &) = delete;
    MqttOutput &operator=(const MqttOutput &) = delete;

    // Before start: takes "kiv/<id>/<module>/do/<channel>/set" commands,
    // checked, on the loop's thread.
    void take_commands(std::function<void(const OutputCommand &)> h) { commands_ = std::move(h); }
    // Before start: retained messages published on every connect (Home
    // Assistant's discovery).
    void announce(std::vector<Retained> messages) { announce_ = std::move(messages); }

    // Sets the client up and makes the first connect attempt; false with
    // error when it cannot even be set up (what check_mqtt refuses, should a
    // file have changed since). Before the loop runs.
    bool start(std::string &error);
    // On the loop's thread: "offline" for the modules and the gateway, a
    // clean disconnect once the broker has taken them, then done(); done()
    // by the deadline in any case.
    void leave(Clock::time_point deadline, std::function<void()> done);

    std::uint64_t dropped() const { return dropped_; }

    void poll(const PollResult &r) override;
    void status(const StatusChange &s) override;
    void command_result(const CommandResult &c) override;
    void settings(const SettingsReport &s) override;
    void flush() override;

    void ready(std::uint32_t events) override;
    void expired(std::uint64_t tag) override;
    bool wanted(std::uint64_t tag) const override { return tag == timer_tag_; }

private:
    struct Message {
        std::string topic;
        std::string payload;
        bool retain = false;
    };

    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_message(mosquitto *, void *self, const struct mosquitto_message *m);
    void command(const std::string &topic, const std::string &payload);

    void send(std::string topic, std::string payload, bool retain = false);
    bool publish(const std::string &topic, const std::string &payload, bool retain, int qos, int *mid = nullptr);
    void publish_queued();
    void publish_statuses();
    void try_connect();
    void lost(int rc);
    // A client call's result: a failure not yet handled starts the backoff.
    void failed(int rc);
    // Watches the client's socket as it now is, for writing too while it
    // has something to write.
    void sync();
    void finish();
    void arm(Clock::time_point t);

    const Config &config_;
    MqttConfig mqtt_;
    Loop &loop_;
    Metrics *const metrics_;
    std::string root_;            // "kiv/<id>/"
    std::string broker_;          // "host:port", for the log
    mosquitto *mosq_ = nullptr;
    std::function<void(const OutputCommand &)> commands_;
    std::vector<Retained> announce_;
    // After a lost or refused connection.
    Backoff backoff_{std::chrono::seconds(1), std::chrono::seconds(30)};

    std::deque<Message> queue_;
    std::vector<int> statuses_;   // per module: -1 unknown, 0 offline, 1 online
    std::uint64_t dropped_ = 0;

    int fd_ = -1;                 // the socket as watched
    std::uint32_t interest_ = 0;
    bool corked_ = false;
    bool connected_ = false;
    bool connecting_ = false;
    bool said_ = false;           // this outage was logged
    Clock::time_point retry_at_ = Clock::time_point::max();
    Clock::time_point misc_at_{};
    Clock::time_point armed_at_ = Clock::time_point::max();
    std::uint64_t timer_tag_ = 0;

    bool leaving_ = false;
    int last_mid_ = -1;
    Clock::time_point leave_by_{};
    std::function<void()> done_;
};

} // namespace gateway
