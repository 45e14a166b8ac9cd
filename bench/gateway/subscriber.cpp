#include "subscriber.h"

#include "proc_usage.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace gwbench {

Subscriber::Subscriber()
{
    ::mosquitto_lib_init();
}

Subscriber::~Subscriber()
{
    if (mosq_ != nullptr) {
        ::mosquitto_disconnect(mosq_);
        ::mosquitto_destroy(mosq_);
    }
    ::mosquitto_lib_cleanup();
}

bool Subscriber::start(const std::string &host, int port, const std::string &filter, double timeout_s,
                       std::string &message)
{
    filter_ = filter;
    const std::string id = "gateway-bench-" + std::to_string(::getpid());
    mosq_ = ::mosquitto_new(id.c_str(), true, this);
    if (mosq_ == nullptr) {
        message = "mosquitto_new failed";
        return false;
    }
    ::mosquitto_connect_callback_set(mosq_, on_connect);
    ::mosquitto_subscribe_callback_set(mosq_, on_subscribe);
    ::mosquitto_message_callback_set(mosq_, on_message);
    int rc = ::mosquitto_connect(mosq_, host.c_str(), port, 30);
    if (rc != MOSQ_ERR_SUCCESS) {
        message = "cannot connect to the broker at " + host + ":" + std::to_string(port) + ": " +
                  ::mosquitto_strerror(rc);
        return false;
    }
    const double deadline = monotonic_seconds() + timeout_s;
    while (!subscribed_ && monotonic_seconds() < deadline) {
        rc = ::mosquitto_loop(mosq_, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS || (connect_rc_ > 0)) {
            message = std::string("broker connection: ") +
                      (connect_rc_ > 0 ? ::mosquitto_connack_string(connect_rc_) : ::mosquitto_strerror(rc));
            return false;
        }
    }
    if (!subscribed_)
        message = "the broker did not confirm the subscription to " + filter;
    return subscribed_;
}

bool Subscriber::run_for(double seconds, bool record, std::string &message)
{
    recording_ = record;
    const double deadline = monotonic_seconds() + seconds;
    for (double now = monotonic_seconds(); now < deadline; now = monotonic_seconds()) {
        const int wait_ms = std::clamp(static_cast<int>((deadline - now) * 1000.0), 1, 100);
        const int rc = ::mosquitto_loop(mosq_, wait_ms, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            recording_ = false;
            message = std::string("lost the broker: ") + ::mosquitto_strerror(rc);
            return false;
        }
    }
    recording_ = false;
    return true;
}

void Subscriber::on_connect(mosquitto *m, void *self, int rc)
{
    auto &s = *static_cast<Subscriber *>(self);
    s.connect_rc_ = rc;
    if (rc == 0)
        ::mosquitto_subscribe(m, nullptr, s.filter_.c_str(), 0);
}

void Subscriber::on_subscribe(mosquitto *, void *self, int, int, const int *)
{
    static_cast<Subscriber *>(self)->subscribed_ = true;
}

void Subscriber::on_message(mosquitto *, void *self, const mosquitto_message *m)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    auto &s = *static_cast<Subscriber *>(self);
    const std::string topic = m->topic;
    const std::string payload(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen));
    if (topic.size() >= 7 && topic.compare(topic.size() - 7, 7, "/status") == 0)
        s.capture.status[topic] = payload;
    if (!s.recording_)
        return;
    ++s.capture.delivered;
    s.capture.recorded.push_back(
        {topic, payload, static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000});
}

} // namespace gwbench
