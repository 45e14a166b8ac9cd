#include "mqtt_client.h"

#include "log.h"

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace gateway {

namespace {

// How often the client's keepalive is looked after.
constexpr std::chrono::milliseconds misc_every{1000};

} // namespace

std::string MqttClient::describe(int rc)
{
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return errno == 0 ? "the connection was closed" : std::strerror(errno);
    case MOSQ_ERR_KEEPALIVE:
        return "no answer from the broker within the keepalive";
    case MOSQ_ERR_CONN_LOST:
        return "the broker closed the connection";
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
        return "the broker broke the MQTT protocol";
    case MOSQ_ERR_NO_CONN:
        return "not connected";
    default:
        return mosquitto_strerror(rc);
    }
}

MqttClient::MqttClient(const MqttConfig &c, std::string client_id, Loop &loop, Events &events)
    : mqtt_(c), client_id_(std::move(client_id)), loop_(loop), events_(events),
      broker_(c.host + ":" + std::to_string(c.port))
{
    // Each client its own jitter: gateways that lost one broker together
    // do not all come back in the same second.
    backoff_.seed(std::random_device{}());
}

MqttClient::~MqttClient()
{
    if (mosq_) {
        if (fd_ >= 0)
            loop_.forget(fd_);
        mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
}

void MqttClient::start(const Will &will, unsigned inflight)
{
    mosquitto_lib_init();
    mosq_ = mosquitto_new(client_id_.c_str(), true, this);
    // What check_mqtt passed and libmosquitto still refuses: a file
    // changed since, or out of memory. The file passed: status 1.
    auto refuse = [](const std::string &why) { throw ConfigError(why, ConfigError::Refused::start); };
    if (!mosq_)
        refuse("cannot make an MQTT client");
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, inflight);
    // Small messages go at once; batching is the cork's job (publish()).
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_publish_callback_set(mosq_, on_publish);
    mosquitto_message_callback_set(mosq_, on_message);
    set_will(will);
    // The password was read with the configuration (read_passwords).
    if (!mqtt_.username.empty() || !mqtt_.password_file.empty()) {
        if (int rc = mosquitto_username_pw_set(mosq_, mqtt_.username.c_str(),
                                               mqtt_.password_file.empty() ? nullptr : mqtt_.password.c_str());
            rc != MOSQ_ERR_SUCCESS)
            refuse("MQTT username and password: " + describe(rc));
    }
    if (!mqtt_.ca_file.empty()) {
        if (int rc = mosquitto_tls_set(mosq_, mqtt_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
            rc != MOSQ_ERR_SUCCESS)
            refuse("TLS with CA file " + mqtt_.ca_file + ": " + mosquitto_strerror(rc));
    }
    misc_at_ = Clock::now() + misc_every;
    try_connect();
}

void MqttClient::set_will(const Will &will)
{
    mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()), will.payload.data(),
                       will.qos, will.retain);
}

void MqttClient::try_connect()
{
    retry_at_ = Clock::time_point::max();
    events_.connecting();
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

void MqttClient::lost(int rc)
{
    const bool was = connected_;
    connected_ = false;
    events_.disconnected(rc);
    if (quitting_)
        return;
    // Said once per outage, not once per attempt.
    if (was)
        log(Level::warn, "lost the broker " + broker_ + ": " + describe(rc) + "; reconnecting");
    else if (!said_)
        log(Level::warn, "broker " + broker_ + ": " + describe(rc) + "; trying again");
    said_ = true;
    // The backoff starts again from its first wait only after a connection
    // that the broker accepted (CONNACK) and kept for a keepalive: a broker
    // that accepts and then drops every connection is not hammered.
    if (was && Clock::now() - connected_at_ >= std::chrono::seconds(mqtt_.keepalive_s))
        backoff_.reset();
    retry_at_ = Clock::now() + backoff_.next();
    sync();
}

void MqttClient::flush()
{
    if (corked_) {
        const int off = 0;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
        corked_ = false;
    }
    sync();
}

void MqttClient::sync()
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
    alarm_.at(quitting_ ? Clock::time_point::max() : std::min(misc_at_, retry_at_));
}


void MqttClient::ready(std::uint32_t events)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP))
        rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && (events & EPOLLOUT) && mosquitto_socket(mosq_) >= 0)
        rc = mosquitto_loop_write(mosq_, 1);
    failed(rc);
    sync();
}

void MqttClient::failed(int rc)
{
    if (rc == MOSQ_ERR_SUCCESS)
        return;
    // The client's disconnect callback has usually said so already.
    if (quitting_)
        events_.disconnected(rc);
    else if (!connected_ && retry_at_ == Clock::time_point::max())
        lost(rc);
}

void MqttClient::expired(std::uint64_t tag)
{
    if (!alarm_.fired(tag))
        return;
    const auto now = Clock::now();
    if (now >= retry_at_)
        try_connect();
    if (now >= misc_at_) {
        misc_at_ = now + misc_every;
        if (mosquitto_socket(mosq_) >= 0)
            failed(mosquitto_loop_misc(mosq_));
    }
    sync();
}

bool MqttClient::publish(const std::string &topic, std::string_view payload, int qos, bool retain, int *mid,
                         bool *written)
{
    // Corked until the end of the turn: the turn's messages leave in as few
    // segments as they fit, and the broker wakes once for them.
    if (!corked_ && fd_ >= 0) {
        const int on = 1;
        corked_ = ::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0;
    }
    written_in_publish_.clear();
    in_publish_ = true;
    int id = 0;
    const int rc =
        mosquitto_publish(mosq_, &id, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain);
    in_publish_ = false;
    if (mid)
        *mid = id;
    if (written)
        *written = std::find(written_in_publish_.begin(), written_in_publish_.end(), id) != written_in_publish_.end();
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const std::string &filter, int qos)
{
    return mosquitto_subscribe(mosq_, nullptr, filter.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

void MqttClient::quit(std::function<void()> done)
{
    quitting_ = true;
    retry_at_ = Clock::time_point::max();
    if (connected_)
        mosquitto_disconnect(mosq_);
    connected_ = false;
    loop_.post([this, done = std::move(done)] {
        if (mosquitto_socket(mosq_) >= 0)
            mosquitto_loop_write(mosq_, 1);
        done();
    });
}

void MqttClient::restart()
{
    if (!connected_ || restarting_)
        return;
    restarting_ = true;
    mosquitto_disconnect(mosq_);
    sync();
}

void MqttClient::on_connect(mosquitto *, void *self, int rc)
{
    auto *s = static_cast<MqttClient *>(self);
    if (rc != 0) {
        log(Level::error, "broker " + s->broker_ + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    log(Level::info, "connected to broker " + s->broker_ + " as " + s->client_id_);
    s->connected_ = true;
    s->connected_at_ = Clock::now();
    s->said_ = false;
    s->events_.connected();
}

void MqttClient::on_disconnect(mosquitto *, void *self, int rc)
{
    auto *s = static_cast<MqttClient *>(self);
    if (s->restarting_) {
        // Asked for: no outage to tell of, and straight back.
        s->restarting_ = false;
        s->connected_ = false;
        s->events_.disconnected(rc);
        // On the timer, outside the client's own call.
        s->retry_at_ = Clock::now();
        return;
    }
    if (s->quitting_) {
        s->connected_ = false;
        s->events_.disconnected(rc);
        return;
    }
    s->lost(rc == 0 ? MOSQ_ERR_CONN_LOST : rc);
}

void MqttClient::on_publish(mosquitto *, void *self, int mid)
{
    auto *s = static_cast<MqttClient *>(self);
    if (s->in_publish_)
        s->written_in_publish_.push_back(mid);
    s->events_.published(mid);
}

void MqttClient::on_message(mosquitto *, void *self, const mosquitto_message *m)
{
    static_cast<MqttClient *>(self)->events_.message(
        m->topic ? m->topic : "",
        std::string_view(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen)));
}

} // namespace gateway
