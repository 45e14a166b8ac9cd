// A subscriber on the broker through libmosquitto, pumped from the calling
// thread so that each phase of the measurement ends on time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace gwbench {

// One message as it arrived: its receipt is wall-clock time (CLOCK_REALTIME)
// in microseconds since the epoch, comparable with the gateway's "ts".
struct Received {
    std::string topic;
    std::string payload;
    std::int64_t received_us = 0;
};

struct Capture {
    // Each message that arrived while recording.
    std::vector<Received> recorded;
    // Everything the broker delivered while recording, all topics.
    std::uint64_t delivered = 0;
    // The last payload of each ".../status" topic, recording or not.
    std::map<std::string, std::string> status;
};

class Subscriber {
public:
    Subscriber();
    ~Subscriber();
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    // Connects and subscribes to filter; true once the broker confirmed the
    // subscription, within timeout_s.
    bool start(const std::string &host, int port, const std::string &filter, double timeout_s,
               std::string &message);
    // Takes messages for the given time, keeping them when record is set.
    bool run_for(double seconds, bool record, std::string &message);

    Capture capture;

private:
    static void on_connect(mosquitto *, void *self, int rc);
    static void on_subscribe(mosquitto *, void *self, int, int, const int *);
    static void on_message(mosquitto *, void *self, const mosquitto_message *m);

    mosquitto *mosq_ = nullptr;
    std::string filter_;
    bool subscribed_ = false;
    bool recording_ = false;
    int connect_rc_ = -1;
};

} // namespace gwbench
