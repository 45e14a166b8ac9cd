#include "mqtt_output.h"

#include "commands.h"
#include "first_line.h"
#include "log.h"
#include "log_limit.h"
#include "metrics.h"
#include "payload.h"

#include "kiv.hpp"

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace gateway {

namespace {

const std::string online_text = "online";
const std::string offline_text = "offline";

// How often the client's keepalive is looked after.
constexpr std::chrono::milliseconds misc_every{1000};
// Publishes in flight at once (QoS 1): enough that a broker's round trip
// never holds the values of a busy turn back.
constexpr int max_inflight = 1000;

std::string describe(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    if (rc == MOSQ_ERR_KEEPALIVE)
        return "no answer within the keepalive";
    return mosquitto_strerror(rc);
}

} // namespace

MqttOutput::MqttOutput(const Config &c, Loop &loop, Metrics *metrics)
    : config_(c), mqtt_(*c.mqtt), loop_(loop), metrics_(metrics), root_("kiv/" + c.id + "/"),
      broker_(c.mqtt->host + ":" + std::to_string(c.mqtt->port)), statuses_(c.modules.size(), -1)
{
    // Each gateway its own jitter: those that lost one broker together do
    // not all come back in the same second.
    backoff_.seed(std::random_device{}());
    if (metrics_)
        metrics_->broker_connected(false);
    if (mqtt_.client_id.empty())
        mqtt_.client_id = "kiv-gateway-" + c.id;
}

MqttOutput::~MqttOutput()
{
    if (mosq_) {
        if (fd_ >= 0)
            loop_.forget(fd_);
        mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
}

bool MqttOutput::start(std::string &error)
{
    mosquitto_lib_init();
    mosq_ = mosquitto_new(mqtt_.client_id.c_str(), true, this);
    if (!mosq_) {
        error = "cannot make an MQTT client";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, max_inflight);
    // Small messages go at once; batching is the cork's job (publish()).
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_publish_callback_set(mosq_, on_publish);
    mosquitto_message_callback_set(mosq_, on_message);
    // Whoever watches the gateway learns that it died from the broker.
    const std::string status = root_ + "status";
    mosquitto_will_set(mosq_, status.c_str(), static_cast<int>(offline_text.size()), offline_text.c_str(), 1,
                       true);
    if (!mqtt_.username.empty() || !mqtt_.password_file.empty()) {
        std::string password;
        if (!mqtt_.password_file.empty() && !read_first_line(mqtt_.password_file, password)) {
            error = "cannot read the password file " + mqtt_.password_file;
            return false;
        }
        mosquitto_username_pw_set(mosq_, mqtt_.username.c_str(),
                                  mqtt_.password_file.empty() ? nullptr : password.c_str());
    }
    if (!mqtt_.ca_file.empty()) {
        if (int rc = mosquitto_tls_set(mosq_, mqtt_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
            rc != MOSQ_ERR_SUCCESS) {
            error = "TLS with CA file " + mqtt_.ca_file + ": " + mosquitto_strerror(rc);
            return false;
        }
    }
    misc_at_ = Clock::now() + misc_every;
    try_connect();
    return true;
}

void MqttOutput::try_connect()
{
    retry_at_ = Clock::time_point::max();
    // Asynchronous: the TCP connect completes in the loop, never in here
    // (the broker is an address; a name would be looked up here).
    const int rc = connecting_ ? mosquitto_reconnect_async(mosq_)
                               : mosquitto_connect_async(mosq_, mqtt_.host.c_str(), mqtt_.port, mqtt_.keepalive_s);
    connecting_ = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(rc);
        return;
    }
    sync();
}

void MqttOutput::lost(int rc)
{
    const bool was = connected_;
    connected_ = false;
    if (metrics_)
        metrics_->broker_connected(false);
    if (leaving_) {
        finish();
        return;
    }
    // Said once per outage, not once per attempt.
    if (was)
        log(Level::warn, "lost the broker " + broker_ + ": " + describe(rc) + "; reconnecting");
    else if (!said_)
        log(Level::warn, "broker " + broker_ + ": " + describe(rc) + "; trying again");
    said_ = true;
    // The backoff starts again from its first wait only once a connection
    // was accepted (CONNACK), not at every TCP connect that the broker then
    // drops.
    retry_at_ = Clock::now() + backoff_.next();
    sync();
}

void MqttOutput::flush()
{
    if (corked_) {
        const int off = 0;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
        corked_ = false;
    }
    sync();
}

void MqttOutput::sync()
{
    if (!mosq_)
        return;
    const int s = mosquitto_socket(mosq_);
    const std::uint32_t want = s < 0 ? 0 : EPOLLIN | (mosquitto_want_write(mosq_) ? EPOLLOUT : 0u);
    if (s != fd_) {
        if (fd_ >= 0)
            loop_.forget(fd_);
        fd_ = -1;
        corked_ = false;
        interest_ = 0;
        if (s >= 0 && (loop_.watch(s, want, this) || (errno == EEXIST && loop_.change(s, want, this)))) {
            fd_ = s;
            interest_ = want;
        }
    } else if (s >= 0 && want != interest_ && loop_.change(s, want, this)) {
        interest_ = want;
    }
    Clock::time_point t = misc_at_;
    if (retry_at_ < t)
        t = retry_at_;
    if (leaving_ && leave_by_ < t)
        t = leave_by_;
    arm(t);
}

void MqttOutput::arm(Clock::time_point t)
{
    if (t == armed_at_)
        return;
    armed_at_ = t;
    loop_.at(t, this, ++timer_tag_);
}

void MqttOutput::ready(std::uint32_t events)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP))
        rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && (events & EPOLLOUT) && mosquitto_socket(mosq_) >= 0)
        rc = mosquitto_loop_write(mosq_, 1);
    failed(rc);
    sync();
}

void MqttOutput::failed(int rc)
{
    if (rc == MOSQ_ERR_SUCCESS)
        return;
    if (leaving_)
        finish();
    // The client's disconnect callback has usually said so already.
    else if (!connected_ && retry_at_ == Clock::time_point::max())
        lost(rc);
}

void MqttOutput::expired(std::uint64_t tag)
{
    if (tag != timer_tag_)
        return;
    armed_at_ = Clock::time_point::max();
    const auto now = Clock::now();
    if (leaving_ && now >= leave_by_) {
        finish();
        return;
    }
    if (now >= retry_at_)
        try_connect();
    if (now >= misc_at_) {
        misc_at_ = now + misc_every;
        if (mosquitto_socket(mosq_) >= 0)
            failed(mosquitto_loop_misc(mosq_));
    }
    sync();
}

void MqttOutput::poll(const PollResult &r)
{
    if (r.code != KIV_OK)
        return;
    const std::string &name = config_.modules[r.module].name;
    send(root_ + name + "/values", values_json(name, r.seq, r.image));
}

void MqttOutput::status(const StatusChange &s)
{
    statuses_[s.module] = s.online;
    if (connected_)
        publish(root_ + config_.modules[s.module].name + "/status", s.online ? online_text : offline_text, true, 1);
}

void MqttOutput::command_result(const CommandResult &c)
{
    std::string topic = root_ + config_.modules[c.module].name + "/do/" + std::to_string(c.channel);
    if (c.code == KIV_OK) {
        send(std::move(topic), c.on ? "on" : "off");
        return;
    }
    topic += "/error";
    send(std::move(topic), kiv::result_name(c.code));
}

// Retained: whoever subscribes later learns what the module was last given.
void MqttOutput::settings(const SettingsReport &s)
{
    send(root_ + config_.modules[s.module].name + "/settings", s.json, true);
}

void MqttOutput::send(std::string topic, std::string payload, bool retain)
{
    if (connected_ && queue_.empty() && publish(topic, payload, retain, mqtt_.qos))
        return;
    if (mqtt_.queue_limit == 0) {
        ++dropped_;
        return;
    }
    if (queue_.size() >= mqtt_.queue_limit) {
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back({std::move(topic), std::move(payload), retain});
}

bool MqttOutput::publish(const std::string &topic, const std::string &payload, bool retain, int qos, int *mid)
{
    // Corked until the end of the turn: the turn's messages leave in as few
    // segments as they fit, and the broker wakes once for them.
    if (!corked_ && fd_ >= 0) {
        const int on = 1;
        corked_ = ::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0;
    }
    return mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain) == MOSQ_ERR_SUCCESS;
}

// What waited for the broker, in order, as far as the client takes it.
void MqttOutput::publish_queued()
{
    while (!queue_.empty() && publish(queue_.front().topic, queue_.front().payload, queue_.front().retain, mqtt_.qos))
        queue_.pop_front();
}

void MqttOutput::publish_statuses()
{
    for (std::size_t i = 0; i < statuses_.size(); ++i)
        if (statuses_[i] >= 0)
            publish(root_ + config_.modules[i].name + "/status", statuses_[i] ? online_text : offline_text, true, 1);
}

void MqttOutput::leave(Clock::time_point deadline, std::function<void()> done)
{
    leaving_ = true;
    leave_by_ = deadline;
    done_ = std::move(done);
    if (!connected_) {
        finish();
        return;
    }
    publish_queued();
    for (int &s : statuses_)
        if (s >= 0)
            s = 0;
    publish_statuses();
    // The broker acknowledges in order: once the last is taken, all are.
    // Without it in time the will says "offline" all the same.
    if (!publish(root_ + "status", offline_text, true, 1, &last_mid_)) {
        finish();
        return;
    }
    sync();
}

void MqttOutput::finish()
{
    if (!done_)
        return;
    auto done = std::move(done_);
    done_ = nullptr;
    // A clean disconnect: the broker drops the will. Written on the next
    // turn, outside the client's callbacks, where the client only queues.
    if (connected_)
        mosquitto_disconnect(mosq_);
    connected_ = false;
    loop_.post([this, done = std::move(done)] {
        if (mosquitto_socket(mosq_) >= 0)
            mosquitto_loop_write(mosq_, 1);
        done();
    });
}

void MqttOutput::on_connect(mosquitto *, void *self, int rc)
{
    auto *s = static_cast<MqttOutput *>(self);
    if (rc != 0) {
        log(Level::error, "broker " + s->broker_ + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    log(Level::info, "connected to broker " + s->broker_);
    s->connected_ = true;
    s->said_ = false;
    s->backoff_.reset();
    if (s->metrics_)
        s->metrics_->broker_connected(true);
    s->publish(s->root_ + "status", online_text, true, 1);
    s->publish_statuses();
    for (const Retained &r : s->announce_)
        s->publish(r.topic, r.payload, true, 1);
    if (s->commands_) {
        const std::string filter = s->root_ + "+/do/+/set";
        mosquitto_subscribe(s->mosq_, nullptr, filter.c_str(), 1);
    }
    s->publish_queued();
}

void MqttOutput::on_disconnect(mosquitto *, void *self, int rc)
{
    auto *s = static_cast<MqttOutput *>(self);
    if (s->leaving_) {
        s->connected_ = false;
        s->finish();
        return;
    }
    s->lost(rc == 0 ? MOSQ_ERR_CONN_LOST : rc);
}

void MqttOutput::on_publish(mosquitto *, void *self, int mid)
{
    auto *s = static_cast<MqttOutput *>(self);
    if (s->leaving_ && mid == s->last_mid_)
        s->finish();
}

void MqttOutput::on_message(mosquitto *, void *self, const mosquitto_message *m)
{
    auto *s = static_cast<MqttOutput *>(self);
    s->command(m->topic ? m->topic : "",
               std::string(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen)));
}

void MqttOutput::command(const std::string &topic, const std::string &payload)
{
    auto refuse = [&](const std::string &why) {
        // Anyone who may publish can send these by the thousand.
        log_limited(Level::warn, "commands refused",
                    "command " + topic + " \"" + payload.substr(0, 32) + "\" refused: " + why);
    };
    if (!commands_ || topic.rfind(root_, 0) != 0)
        return refuse("not a command topic of this gateway");
    // "<module>/do/<channel>/set"
    const std::string_view rest = std::string_view(topic).substr(root_.size());
    const auto slash = rest.find('/');
    const std::string_view module = rest.substr(0, slash);
    const std::string_view tail = slash == std::string_view::npos ? "" : rest.substr(slash);
    if (tail.rfind("/do/", 0) != 0 || tail.size() < 9 || tail.substr(tail.size() - 4) != "/set")
        return refuse("not <module>/do/<channel>/set");
    auto parsed = parse_command(config_, module, tail.substr(4, tail.size() - 8), payload);
    if (auto *why = std::get_if<std::string>(&parsed))
        return refuse(*why);
    commands_(std::get<OutputCommand>(parsed));
}

} // namespace gateway
