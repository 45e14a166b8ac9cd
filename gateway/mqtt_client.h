// One connection to the broker through libmosquitto, driven from the
// engine's loop: its socket is one more descriptor in epoll, read and
// written when ready (mosquitto_loop_read/_write/_misc), so that no second
// thread and no select() is involved at any descriptor number. It connects
// without blocking, reconnects after a backoff, and says each outage once.
// What goes over it, and what a lost connection means for that, is its
// owner's business (the JSON output, the Sparkplug B edge node).
#pragma once

#include "backoff.h"
#include "config.h"
#include "loop.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace gateway {

class MqttClient final : public Watcher, public TimerTarget {
public:
    // Called on the loop's thread, from inside the client's calls.
    class Events {
    public:
        virtual ~Events() = default;
        // Before each connect attempt: the moment to change the will.
        virtual void connecting() {}
        // The broker accepted the connection (CONNACK).
        virtual void connected() = 0;
        // The connection ended or an attempt failed; rc is libmosquitto's.
        virtual void disconnected(int rc) = 0;
        // Written (QoS 0) or acknowledged (QoS 1).
        virtual void published(int mid) = 0;
        virtual void message(const std::string &topic, std::string_view payload) = 0;
    };
    struct Will {
        std::string topic;
        std::string payload;
        int qos = 1;
        bool retain = false;
    };

    MqttClient(const MqttConfig &c, std::string client_id, Loop &loop, Events &events);
    ~MqttClient() override;
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // Sets the client up and makes the first connect attempt; ConfigError
    // when it cannot even be set up (what check_mqtt refuses, should a file
    // have changed since). inflight bounds QoS 1 messages in flight.
    void start(const Will &will, unsigned inflight);
    // Only before a connect: the will that the next connection leaves.
    void set_will(const Will &will);

    bool connected() const { return connected_; }
    // "host:port", for the logs.
    const std::string &broker() const { return broker_; }

    // Hands a message to the client; false when it took nothing. Outside
    // the client's callbacks it writes at once, and may report the message
    // written (published()) before this returns: then written is true.
    bool publish(const std::string &topic, std::string_view payload, int qos, bool retain, int *mid = nullptr,
                 bool *written = nullptr);
    // Inside publish(): what published() reports, that call wrote.
    bool publishing() const { return in_publish_; }
    bool subscribe(const std::string &filter, int qos);
    // At the end of the loop's turn: the turn's messages leave together.
    void flush();

    // Ends the connection on purpose and reconnects no more: a clean
    // disconnect when connected (the broker drops the will), written on the
    // next turn, outside the client's callbacks, and then done().
    void quit(std::function<void()> done);
    // Ends the connection cleanly (the broker drops the will) once what was
    // handed over is written, and connects again.
    void restart();

    // Why the connection ended, in words: the client's own texts for some
    // of these are "Unknown error.".
    static std::string describe(int rc);

    void ready(std::uint32_t events) override;
    void expired(std::uint64_t tag) override;
    bool wanted(std::uint64_t tag) const override { return alarm_.wanted(tag); }

private:
    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_message(mosquitto *, void *self, const struct mosquitto_message *m);

    void try_connect();
    void lost(int rc);
    void failed(int rc);
    // Watches the socket as it now is, for writing too while the client
    // has something to write.
    void sync();

    MqttConfig mqtt_;
    std::string client_id_;
    Loop &loop_;
    Events &events_;
    std::string broker_;
    mosquitto *mosq_ = nullptr;
    // After a lost or refused connection.
    Backoff backoff_{std::chrono::seconds(1), std::chrono::seconds(30)};

    int fd_ = -1;                 // the socket as watched
    std::uint32_t interest_ = 0;
    bool corked_ = false;
    bool connected_ = false;
    Clock::time_point connected_at_{};
    bool connecting_ = false;
    bool quitting_ = false;
    bool restarting_ = false;
    bool in_publish_ = false;
    std::vector<int> written_in_publish_;
    bool said_ = false;           // this outage was logged
    Clock::time_point retry_at_ = Clock::time_point::max();
    Clock::time_point misc_at_{};
    Alarm alarm_{loop_, *this};
};

} // namespace gateway
