#include "mqtt_sink.h"

#include "log.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
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
    if (thread_.joinable()) {
        thread_.request_stop();
        wake_.notify_all();
        thread_.join();
    }
    if (mosq_) {
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
    // Publishes come from the pollers' threads; the loop runs in ours.
    mosquitto_threaded_set(mosq_, true);
    thread_ = std::jthread([this](std::stop_token st) { run(st); });
    started_ = true;
    return true;
}

void MqttSink::run(std::stop_token st)
{
    const std::string broker = config_.host + ":" + std::to_string(config_.port);
    auto delay = std::chrono::seconds(1);
    bool said = false;
    int rc = mosquitto_connect(mosq_, config_.host.c_str(), config_.port, config_.keepalive_s);
    while (!st.stop_requested()) {
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(mosq_, 200, 1);
            continue;
        }
        if (st.stop_requested() || stopping_)
            break;
        // Said once per outage, not once per attempt.
        if (!said)
            log(Level::warn, "broker " + broker + ": " +
                                 (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc)) +
                                 "; trying again");
        said = true;
        {
            std::unique_lock lock(mu_);
            wake_.wait_for(lock, st, delay, [] { return false; });
        }
        if (st.stop_requested())
            break;
        delay = std::min(delay * 2, std::chrono::seconds(30));
        rc = mosquitto_reconnect(mosq_);
        if (rc == MOSQ_ERR_SUCCESS) {
            delay = std::chrono::seconds(1);
            said = false;
        }
    }
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
    // The loop sends the disconnect; once it is gone the broker drops the
    // will instead of publishing it.
    stopping_ = true;
    if (connected_ && mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS)
        cv_.wait_for(lock, std::chrono::seconds(1), [&] { return !connected_; });
    lock.unlock();
    thread_.request_stop();
    wake_.notify_all();
    thread_.join();
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
