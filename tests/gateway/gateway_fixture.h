// What the gateway tests run: a mosquitto broker on a free loopback port, a
// subscriber that keeps every message, zrm-sim processes on loopback
// addresses of their own, and kiv-gateway with a configuration written for
// the test. Every wait is bounded; every process is ended when its object
// goes.
#pragma once

#include "tool_process.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace gwtest {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

// "2026-12-08T10:15:02.123Z" as seconds since the epoch, and the time now.
double epoch_seconds(const std::string &ts);
double epoch_now();

// A port on 127.0.0.1 that was free a moment ago.
int free_port();
// Whether something accepts connections on address:port.
bool listening(const std::string &address, int port);
// A new folder under the temporary directory.
std::string temp_dir();
// Polls pred every 20 ms until it holds or limit passes.
bool eventually(const std::function<bool()> &pred, Ms limit);

class Broker {
public:
    // keeps_sessions: the sessions of clients that are not clean outlive
    // a stop and start, as their subscriptions do.
    explicit Broker(bool keeps_sessions = false);
    ~Broker();
    bool start();
    void stop();
    // SIGSTOP: connected, reading nothing; SIGCONT: back.
    void signal(int sig);
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int port_;
    std::string dir_;
    bool keeps_sessions_;
    std::unique_ptr<kivtest::Process> process_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// Subscribes to its filters and keeps what comes, in order.
class Subscriber {
public:
    // With a client id its session is not clean: what comes while it is
    // away waits for it in the broker.
    explicit Subscriber(int port, std::vector<std::string> filters = {"kiv/#"}, const std::string &id = {});
    ~Subscriber();
    bool connected() const;
    // Publishes payload on topic (QoS 1).
    void publish(const std::string &topic, const std::string &payload, bool retain = false);
    std::vector<Message> messages() const;
    // The messages of one topic, in order.
    std::vector<Message> on(const std::string &topic) const;
    bool wait_for(const std::function<bool(const std::vector<Message> &)> &pred, Ms limit) const;
    // Waits for a message on topic with this payload, after the first skip ones of the topic.
    bool wait_for_payload(const std::string &topic, const std::string &payload, Ms limit,
                          std::size_t skip = 0) const;

private:
    static void on_message(mosquitto *, void *self, const mosquitto_message *m);
    static void on_connect(mosquitto *, void *self, int rc);
    mosquitto *mosq_ = nullptr;
    mutable std::mutex mu_;
    std::vector<std::string> filters_;
    std::vector<Message> messages_;
    bool connected_ = false;
};

// zrm-sim on its own loopback address; ports are free ones unless given.
class ModuleSim {
public:
    ModuleSim(const std::string &address, std::vector<std::string> args, int modbus_port = 0);
    bool ready() const { return modbus_port > 0; }
    void stop();
    std::string address;
    int modbus_port = 0;
    int config_port = 0;

private:
    std::unique_ptr<zrmtest::SimProcess> process_;
};

// kiv-gateway with the given configuration text (written to a file).
class Gateway {
public:
    Gateway(const std::string &config, std::vector<std::string> extra = {});
    ~Gateway();
    kivtest::Process &process() { return *process_; }
    // SIGTERM, then the exit status; -1 when it did not end in time.
    int stop(Ms limit = 10s);
    // Writes the configuration file anew (for a reload).
    void rewrite(const std::string &config);
    std::string err() const;

private:
    std::string path_;
    std::unique_ptr<kivtest::Process> process_;
};

// A [[module]] table.
std::string module_toml(const std::string &name, int model, const ModuleSim &sim, int interval_ms = 100,
                        int timeout_ms = 100);
std::string gateway_toml(const std::string &id, const Broker *broker);

} // namespace gwtest
