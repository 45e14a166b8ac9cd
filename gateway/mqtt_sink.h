// Publishes to the MQTT broker through libmosquitto. One thread of the
// sink's own is the only one that touches the client: it connects (again,
// with backoff, whenever the broker is away, at start as well as later),
// runs the client's loop, and every few milliseconds publishes what the
// pollers queued since, so that a poll costs the pollers no wake-up of
// another thread. While the broker is away values wait in a bounded queue
// (the oldest are dropped first) and go out in order once it is back; the
// retained statuses are published again on every connect, since a restarted
// broker may have lost them.
#pragma once

#include "config.h"
#include "discovery.h"
#include "sink.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;
struct mosquitto_message;

namespace gateway {

class Metrics;

class MqttSink : public Sink {
public:
    // metrics, when not null, is told whether the broker is connected.
    MqttSink(const MqttConfig &c, std::string gateway_id, Metrics *metrics = nullptr);
    ~MqttSink() override;
    MqttSink(const MqttSink &) = delete;
    MqttSink &operator=(const MqttSink &) = delete;

    // An output command that came in: module, channel (1-based), on. Says
    // why it is refused, or "" when it was taken.
    using CommandHandler = std::function<std::string(const std::string &, int, bool)>;
    // Before start: takes "kiv/<id>/<module>/do/<channel>/set" commands.
    void take_commands(CommandHandler h) { commands_ = std::move(h); }
    // Before start: retained messages published on every connect (Home
    // Assistant's discovery).
    void announce(std::vector<Retained> messages) { announce_ = std::move(messages); }

    // Sets the client up and starts its thread; false with error when it
    // cannot even be set up (a bad CA file, an unreadable password file).
    bool start(std::string &error);
    // Publishes "offline" for the modules and the gateway, waits up to
    // limit for the broker to take them, disconnects and ends the thread.
    void stop(std::chrono::milliseconds limit);

    void values(const std::string &module, std::string json) override;
    void module_status(const std::string &module, bool online) override;
    void output_state(const std::string &module, int channel, bool on) override;
    void output_error(const std::string &module, int channel, const std::string &result) override;
    void settings_report(const std::string &module, std::string json) override;

    std::uint64_t dropped() const;

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
    // "<module>/do/<channel>/set" with "on" or "off", handed to commands_;
    // anything else is refused with a log line and goes nowhere.
    void command(const std::string &topic, const std::string &payload);
    void enqueue(std::string topic, std::string payload, bool retain = false);

    // The client's thread and what only it calls.
    void run(std::stop_token st);
    void publish_queued();
    void publish_statuses(bool all);
    void say_goodbye(std::chrono::milliseconds limit);
    bool publish(const std::string &topic, const std::string &payload, bool retain, int qos,
                 int *mid = nullptr);

    MqttConfig config_;
    std::string root_;            // "kiv/<id>/"
    std::string broker_;          // "host:port", for the log
    mosquitto *mosq_ = nullptr;
    CommandHandler commands_;
    std::vector<Retained> announce_;
    Metrics *const metrics_;

    // Shared with the pollers and stop().
    mutable std::mutex mu_;
    std::condition_variable_any wake_;
    std::deque<Message> queue_;
    std::map<std::string, bool> statuses_;        // module -> online
    std::map<std::string, bool> changed_;         // not yet published
    std::uint64_t dropped_ = 0;
    std::chrono::milliseconds goodbye_limit_{0};  // > 0 once stop() asks
    bool said_goodbye_ = false;

    // The client's thread alone.
    bool connected_ = false;
    bool leaving_ = false;
    int last_mid_ = -1;
    bool last_acknowledged_ = false;

    std::jthread thread_;
};

} // namespace gateway
