#include "mqtt_sink.h"

#include "first_line.h"
#include "log.h"
#include "metrics.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace gateway {

namespace {

const std::string online_text = "online";
const std::string offline_text = "offline";

// How long queued values may wait for the client's thread: a batch per tick
// instead of a wake-up per message.
constexpr int tick_ms = 20;

std::string describe(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc));
}

} // namespace

MqttSink::MqttSink(const MqttConfig &c, std::string gateway_id, Metrics *metrics)
    : config_(c), root_("kiv/" + gateway_id + "/"), broker_(c.host + ":" + std::to_string(c.port)),
      metrics_(metrics)
{
    if (metrics_)
        metrics_->broker_connected(false);
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
    mosquitto_message_callback_set(mosq_, on_message);
    // Whoever watches the gateway learns that it died from the broker.
    const std::string status = root_ + "status";
    mosquitto_will_set(mosq_, status.c_str(), static_cast<int>(offline_text.size()), offline_text.c_str(), 1,
                       true);
    if (!config_.username.empty() || !config_.password_file.empty()) {
        std::string password;
        if (!config_.password_file.empty() && !read_first_line(config_.password_file, password)) {
            error = "cannot read the password file " + config_.password_file;
            return false;
        }
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
    thread_ = std::jthread([this](std::stop_token st) { run(st); });
    return true;
}

void MqttSink::stop(std::chrono::milliseconds limit)
{
    if (!thread_.joinable())
        return;
    {
        std::unique_lock lock(mu_);
        goodbye_limit_ = limit;
        wake_.notify_all();
        // The thread says goodbye within limit, and a disconnect after it.
        wake_.wait_for(lock, limit + std::chrono::seconds(2), [&] { return said_goodbye_; });
    }
    thread_.request_stop();
    wake_.notify_all();
    thread_.join();
}

void MqttSink::values(const std::string &module, std::string json)
{
    enqueue(root_ + module + "/values", std::move(json));
}

void MqttSink::output_state(const std::string &module, int channel, bool on)
{
    enqueue(root_ + module + "/do/" + std::to_string(channel), on ? "on" : "off");
}

void MqttSink::output_error(const std::string &module, int channel, const std::string &result)
{
    std::string topic = root_ + module + "/do/" + std::to_string(channel);
    topic += "/error";
    enqueue(std::move(topic), result);
}

// Retained: whoever subscribes later learns what the module was last given.
void MqttSink::settings_report(const std::string &module, std::string json)
{
    enqueue(root_ + module + "/settings", std::move(json), true);
}

void MqttSink::enqueue(std::string topic, std::string payload, bool retain)
{
    std::lock_guard lock(mu_);
    if (config_.queue_limit == 0) {
        ++dropped_;
        return;
    }
    if (queue_.size() >= config_.queue_limit) {
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back({std::move(topic), std::move(payload), retain});
}

void MqttSink::module_status(const std::string &module, bool online)
{
    std::lock_guard lock(mu_);
    statuses_[module] = online;
    changed_[module] = online;
}

std::uint64_t MqttSink::dropped() const
{
    std::lock_guard lock(mu_);
    return dropped_;
}

void MqttSink::run(std::stop_token st)
{
    auto delay = std::chrono::seconds(1);
    bool said = false;
    int rc = mosquitto_connect(mosq_, config_.host.c_str(), config_.port, config_.keepalive_s);
    while (!st.stop_requested()) {
        std::chrono::milliseconds goodbye{0};
        {
            std::lock_guard lock(mu_);
            goodbye = goodbye_limit_;
        }
        if (goodbye.count() > 0) {
            say_goodbye(goodbye);
            return;
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            if (connected_) {
                publish_statuses(false);
                publish_queued();
            }
            rc = mosquitto_loop(mosq_, tick_ms, 1);
            continue;
        }
        // Said once per outage, not once per attempt.
        if (!said)
            log(Level::warn, "broker " + broker_ + ": " + describe(rc) + "; trying again");
        said = true;
        {
            std::unique_lock lock(mu_);
            wake_.wait_for(lock, st, delay, [&] { return goodbye_limit_.count() > 0; });
        }
        if (st.stop_requested())
            break;
        {
            std::lock_guard lock(mu_);
            if (goodbye_limit_.count() > 0)
                continue;
        }
        delay = std::min(delay * 2, std::chrono::seconds(30));
        rc = mosquitto_reconnect(mosq_);
        if (rc == MOSQ_ERR_SUCCESS) {
            delay = std::chrono::seconds(1);
            said = false;
        }
    }
}

void MqttSink::publish_queued()
{
    std::deque<Message> batch;
    {
        std::lock_guard lock(mu_);
        batch.swap(queue_);
    }
    while (!batch.empty()) {
        if (!publish(batch.front().topic, batch.front().payload, batch.front().retain, config_.qos))
            break;
        batch.pop_front();
    }
    if (batch.empty())
        return;
    // Refused (the connection just went): back to the front of the queue,
    // within its bound.
    std::lock_guard lock(mu_);
    while (!queue_.empty())
        batch.push_back(std::move(queue_.front())), queue_.pop_front();
    while (batch.size() > config_.queue_limit) {
        batch.pop_front();
        ++dropped_;
    }
    queue_.swap(batch);
}

void MqttSink::publish_statuses(bool all)
{
    std::map<std::string, bool> out;
    {
        std::lock_guard lock(mu_);
        if (all) {
            out = statuses_;
            changed_.clear();
        } else {
            out.swap(changed_);
        }
    }
    for (const auto &[module, online] : out)
        publish(root_ + module + "/status", online ? online_text : offline_text, true, 1);
}

void MqttSink::say_goodbye(std::chrono::milliseconds limit)
{
    leaving_ = true;
    if (connected_) {
        publish_queued();
        {
            std::lock_guard lock(mu_);
            for (auto &[module, online] : statuses_)
                online = false;
        }
        publish_statuses(true);
        int mid = -1;
        if (publish(root_ + "status", offline_text, true, 1, &mid)) {
            last_mid_ = mid;
            // The broker acknowledges in order: once the last is taken, all
            // are. Without it in time the will says "offline" all the same.
            const auto end = std::chrono::steady_clock::now() + limit;
            while (connected_ && !last_acknowledged_ && std::chrono::steady_clock::now() < end &&
                   mosquitto_loop(mosq_, tick_ms, 1) == MOSQ_ERR_SUCCESS) {
            }
        }
        // A clean disconnect: the broker drops the will.
        if (connected_ && mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS)
            for (int i = 0; i < 50 && connected_ && mosquitto_loop(mosq_, tick_ms, 1) == MOSQ_ERR_SUCCESS; ++i) {
            }
    }
    std::lock_guard lock(mu_);
    said_goodbye_ = true;
    wake_.notify_all();
}

bool MqttSink::publish(const std::string &topic, const std::string &payload, bool retain, int qos, int *mid)
{
    return mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain) == MOSQ_ERR_SUCCESS;
}

void MqttSink::on_connect(mosquitto *, void *self, int rc)
{
    auto *s = static_cast<MqttSink *>(self);
    if (rc != 0) {
        log(Level::error, "broker " + s->broker_ + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    log(Level::info, "connected to broker " + s->broker_);
    s->connected_ = true;
    if (s->metrics_)
        s->metrics_->broker_connected(true);
    s->publish(s->root_ + "status", online_text, true, 1);
    s->publish_statuses(true);
    for (const Retained &r : s->announce_)
        s->publish(r.topic, r.payload, true, 1);
    if (s->commands_) {
        const std::string filter = s->root_ + "+/do/+/set";
        mosquitto_subscribe(s->mosq_, nullptr, filter.c_str(), 1);
    }
}

void MqttSink::on_message(mosquitto *, void *self, const mosquitto_message *m)
{
    auto *s = static_cast<MqttSink *>(self);
    s->command(m->topic ? m->topic : "",
               std::string(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen)));
}

void MqttSink::command(const std::string &topic, const std::string &payload)
{
    auto refuse = [&](const std::string &why) {
        log(Level::warn, "command " + topic + " \"" + payload.substr(0, 32) + "\" refused: " + why);
    };
    if (!commands_ || topic.rfind(root_, 0) != 0)
        return refuse("not a command topic of this gateway");
    // "<module>/do/<channel>/set"
    const std::string rest = topic.substr(root_.size());
    const auto slash = rest.find('/');
    const std::string module = rest.substr(0, slash);
    const std::string tail = slash == std::string::npos ? "" : rest.substr(slash);
    if (tail.rfind("/do/", 0) != 0 || tail.size() < 9 || tail.compare(tail.size() - 4, 4, "/set") != 0)
        return refuse("not <module>/do/<channel>/set");
    const std::string number = tail.substr(4, tail.size() - 8);
    if (number.empty() || number.size() > 2 || number.find_first_not_of("0123456789") != std::string::npos)
        return refuse("channel \"" + number + "\" is no number");
    if (payload != "on" && payload != "off")
        return refuse("the payload must be on or off");
    if (std::string why = commands_(module, std::stoi(number), payload == "on"); !why.empty())
        return refuse(why);
}

void MqttSink::on_disconnect(mosquitto *, void *self, int rc)
{
    auto *s = static_cast<MqttSink *>(self);
    s->connected_ = false;
    if (s->metrics_)
        s->metrics_->broker_connected(false);
    if (rc != 0 && !s->leaving_)
        log(Level::warn, "lost the broker " + s->broker_ + "; reconnecting");
}

void MqttSink::on_publish(mosquitto *, void *self, int mid)
{
    auto *s = static_cast<MqttSink *>(self);
    if (mid == s->last_mid_)
        s->last_acknowledged_ = true;
}

} // namespace gateway
