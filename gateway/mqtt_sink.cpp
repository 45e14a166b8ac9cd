#include "mqtt_sink.h"

#include "log.h"

#include <mosquitto.h>

#include <fstream>

namespace gateway {

namespace {

const std::string online_text = "online";
const std::string offline_text = "offline";

bool read_password(const std::string &path, std::string &out, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the password file " + path;
        return false;
    }
    std::getline(in, out);
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return true;
}

} // namespace

MqttSink::MqttSink(const MqttConfig &c, std::string gateway_id)
    : config_(c), root_("kiv/" + gateway_id + "/")
{
    if (config_.client_id.empty())
        config_.client_id = "kiv-gateway-" + gateway_id;
}

MqttSink::~MqttSink()
{
    if (mosq_) {
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
}

bool MqttSink::start(std::string &error)
{
    mosquitto_lib_init();
    mosq_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (!mosq_) {
        error = "cannot make an MQTT client";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_publish_callback_set(mosq_, on_publish);
    // Whoever watches the gateway learns that it died from the broker.
    const std::string status = root_ + "status";
    mosquitto_will_set(mosq_, status.c_str(), static_cast<int>(offline_text.size()), offline_text.c_str(), 1,
                       true);
    if (!config_.username.empty() || !config_.password_file.empty()) {
        std::string password;
        if (!config_.password_file.empty() && !read_password(config_.password_file, password, error))
            return false;
        mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                  config_.password_file.empty() ? nullptr : password.c_str());
    }
    if (!config_.ca_file.empty()) {
        if (int rc = mosquitto_tls_set(mosq_, config_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
            rc != MOSQ_ERR_SUCCESS) {
            error = "TLS with CA file " + config_.ca_file + ": " + mosquitto_strerror(rc);
            return false;
        }
    }
    // The client's thread reconnects by itself: after 1 s, doubling to 30 s.
    mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
    const int rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, config_.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS)
        log(Level::warn, "broker " + config_.host + ":" + std::to_string(config_.port) + ": " +
                             mosquitto_strerror(rc) + "; trying again");
    if (int lrc = mosquitto_loop_start(mosq_); lrc != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot start the MQTT client's thread: ") + mosquitto_strerror(lrc);
        return false;
    }
    started_ = true;
    return true;
}

void MqttSink::stop(std::chrono::milliseconds limit)
{
    if (!started_)
        return;
    std::unique_lock lock(mu_);
    for (auto &[module, online] : statuses_) {
        online = false;
        if (connected_)
            publish_locked(root_ + module + "/status", offline_text, true, 1);
    }
    int mid = -1;
    if (connected_ && publish_locked(root_ + "status", offline_text, true, 1, &mid)) {
        last_mid_ = mid;
        // The broker acknowledges in order: once the last is taken, all are.
        // Without it in time the will says "offline" all the same.
        cv_.wait_for(lock, limit, [&] { return !connected_ || last_acknowledged_; });
    }
    lock.unlock();
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    started_ = false;
}

void MqttSink::values(const std::string &module, std::string json)
{
    std::lock_guard lock(mu_);
    if (config_.queue_limit == 0 && !connected_) {
        ++dropped_;
        return;
    }
    if (queue_.size() >= config_.queue_limit && !queue_.empty()) {
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back({root_ + module + "/values", std::move(json)});
    flush_locked();
}

void MqttSink::module_status(const std::string &module, bool online)
{
    std::lock_guard lock(mu_);
    statuses_[module] = online;
    if (connected_)
        publish_locked(root_ + module + "/status", online ? online_text : offline_text, true, 1);
}

std::uint64_t MqttSink::dropped() const
{
    std::lock_guard lock(mu_);
    return dropped_;
}

bool MqttSink::publish_locked(const std::string &topic, const std::string &payload, bool retain, int qos,
                              int *mid)
{
    return mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain) == MOSQ_ERR_SUCCESS;
}

void MqttSink::flush_locked()
{
    while (connected_ && !queue_.empty()) {
        const Message &m = queue_.front();
        if (!publish_locked(m.topic, m.payload, false, config_.qos))
            return;
        queue_.pop_front();
    }
}

void MqttSink::on_connect(mosquitto *, void *self, int rc)
{
    static_cast<MqttSink *>(self)->connected(rc);
}

void MqttSink::on_disconnect(mosquitto *, void *self, int rc)
{
    static_cast<MqttSink *>(self)->disconnected(rc);
}

void MqttSink::on_publish(mosquitto *, void *self, int mid)
{
    auto *s = static_cast<MqttSink *>(self);
    {
        std::lock_guard lock(s->mu_);
        if (mid != s->last_mid_)
            return;
        s->last_acknowledged_ = true;
    }
    s->cv_.notify_all();
}

void MqttSink::connected(int rc)
{
    const std::string broker = config_.host + ":" + std::to_string(config_.port);
    if (rc != 0) {
        log(Level::error, "broker " + broker + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    log(Level::info, "connected to broker " + broker);
    std::lock_guard lock(mu_);
    connected_ = true;
    publish_locked(root_ + "status", online_text, true, 1);
    for (const auto &[module, online] : statuses_)
        publish_locked(root_ + module + "/status", online ? online_text : offline_text, true, 1);
    flush_locked();
}

void MqttSink::disconnected(int rc)
{
    {
        std::lock_guard lock(mu_);
        connected_ = false;
    }
    cv_.notify_all();
    if (rc != 0)
        log(Level::warn, "lost the broker " + config_.host + ":" + std::to_string(config_.port) +
                             "; reconnecting");
}

} // namespace gateway
