// Publishes to the MQTT broker through libmosquitto, whose own thread keeps
// the connection and reconnects after the broker went away. While it is
// away, values wait in a bounded queue (the oldest are dropped first) and go
// out in order once it is back; the retained statuses are published again on
// every connect, since a restarted broker may have lost them.
#pragma once

#include "config.h"
#include "sink.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

struct mosquitto;

namespace gateway {

class MqttSink : public Sink {
public:
    MqttSink(const MqttConfig &c, std::string gateway_id);
    ~MqttSink() override;
    MqttSink(const MqttSink &) = delete;
    MqttSink &operator=(const MqttSink &) = delete;

    // Starts connecting in the background; false with error when the
    // client cannot even be set up (a bad CA file, an unreadable password).
    bool start(std::string &error);
    // Publishes "offline" for the modules and the gateway, waits up to
    // limit for the broker to take them, and disconnects.
    void stop(std::chrono::milliseconds limit);

    void values(const std::string &module, std::string json) override;
    void module_status(const std::string &module, bool online) override;

    // For tests and logs.
    std::uint64_t dropped() const;

private:
    struct Message {
        std::string topic;
        std::string payload;
    };

    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_publish(mosquitto *, void *self, int mid);

    void connected(int rc);
    void disconnected(int rc);
    // Under mu_: sends the queue while connected; what the client refuses
    // stays queued.
    void flush_locked();
    // Statuses go with QoS 1 whatever the values use: they are few, and a
    // lost one would stand for good. mid gets the message's id.
    bool publish_locked(const std::string &topic, const std::string &payload, bool retain, int qos,
                        int *mid = nullptr);

    MqttConfig config_;
    std::string root_;            // "kiv/<id>/"
    mosquitto *mosq_ = nullptr;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool connected_ = false;
    bool started_ = false;
    std::deque<Message> queue_;
    std::map<std::string, bool> statuses_;   // module -> online
    std::uint64_t dropped_ = 0;
    int last_mid_ = -1;                      // the final "offline", once sent
    bool last_acknowledged_ = false;
};

} // namespace gateway
