#include "gateway_fixture.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

namespace gwtest {

std::string temp_dir()
{
    char name[] = "/tmp/kiv-gateway-test-XXXXXX";
    const char *d = ::mkdtemp(name);
    return d ? d : "/tmp";
}

namespace {

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

// SIGTERM, and the process gone within 5 s (killed if need be).
void terminate(std::unique_ptr<kivtest::Process> &p)
{
    if (!p)
        return;
    p->signal(SIGTERM);
    p->finish(5s);
    p.reset();
}

} // namespace

double epoch_seconds(const std::string &ts)
{
    std::tm tm{};
    int ms = 0;
    std::sscanf(ts.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                &tm.tm_min, &tm.tm_sec, &ms);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(::timegm(&tm)) + ms / 1000.0;
}

double epoch_now()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

int free_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool listening(const std::string &address, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

bool eventually(const std::function<bool()> &pred, Ms limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

Broker::Broker(bool keeps_sessions) : port_(free_port()), dir_(temp_dir()), keeps_sessions_(keeps_sessions)
{
    // Started as root, mosquitto writes its sessions as its own user.
    if (keeps_sessions_)
        std::filesystem::permissions(dir_, std::filesystem::perms::all);
}

Broker::~Broker()
{
    stop();
    std::filesystem::remove_all(dir_);
}

bool Broker::start()
{
    const std::string conf = dir_ + "/mosquitto.conf";
    write_file(conf, "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\n" +
                         (keeps_sessions_ ? "persistence true\npersistence_location " + dir_ + "/\n"
                                          : std::string("persistence false\n")) +
                         "max_queued_messages 100000\n");
    process_ = std::make_unique<kivtest::Process>(std::vector<std::string>{MOSQUITTO_PATH, "-c", conf});
    return process_->started() && eventually([&] { return listening("127.0.0.1", port_); }, 10s);
}

void Broker::stop()
{
    // A stopped broker would not take the SIGTERM.
    signal(SIGCONT);
    terminate(process_);
}

void Broker::signal(int sig)
{
    if (process_ && process_->started())
        process_->signal(sig);
}

Subscriber::Subscriber(int port, std::vector<std::string> filters, const std::string &id)
    : filters_(std::move(filters))
{
    mosquitto_lib_init();
    mosq_ = mosquitto_new(id.empty() ? nullptr : id.c_str(), id.empty(), this);
    mosquitto_message_callback_set(mosq_, on_message);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
    eventually([&] { return connected(); }, 5s);
}

Subscriber::~Subscriber()
{
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

void Subscriber::on_connect(mosquitto *m, void *self, int rc)
{
    if (rc != 0)
        return;
    auto *s = static_cast<Subscriber *>(self);
    for (const std::string &f : s->filters_)
        mosquitto_subscribe(m, nullptr, f.c_str(), 1);
    std::lock_guard lock(s->mu_);
    s->connected_ = true;
}

void Subscriber::on_message(mosquitto *, void *self, const mosquitto_message *m)
{
    auto *s = static_cast<Subscriber *>(self);
    std::lock_guard lock(s->mu_);
    s->messages_.push_back({m->topic, std::string(static_cast<const char *>(m->payload),
                                                  static_cast<std::size_t>(m->payloadlen)),
                            m->retain});
}

void Subscriber::publish(const std::string &topic, const std::string &payload, bool retain)
{
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
}

bool Subscriber::connected() const
{
    std::lock_guard lock(mu_);
    return connected_;
}

std::vector<Message> Subscriber::messages() const
{
    std::lock_guard lock(mu_);
    return messages_;
}

std::vector<Message> Subscriber::on(const std::string &topic) const
{
    std::vector<Message> out;
    for (auto &m : messages())
        if (m.topic == topic)
            out.push_back(m);
    return out;
}

bool Subscriber::wait_for(const std::function<bool(const std::vector<Message> &)> &pred, Ms limit) const
{
    return eventually([&] { return pred(messages()); }, limit);
}

bool Subscriber::wait_for_payload(const std::string &topic, const std::string &payload, Ms limit,
                                  std::size_t skip) const
{
    return wait_for(
        [&](const std::vector<Message> &all) {
            std::size_t seen = 0;
            for (auto &m : all)
                if (m.topic == topic && seen++ >= skip && m.payload == payload)
                    return true;
            return false;
        },
        limit);
}

ModuleSim::ModuleSim(const std::string &addr, std::vector<std::string> args, int port) : address(addr)
{
    args.insert(args.begin(), {"--address", address, "--modbus-port", std::to_string(port)});
    process_ = std::make_unique<zrmtest::SimProcess>(std::move(args));
    if (!process_->start())
        return;
    modbus_port = process_->modbus_port();
    config_port = process_->config_port();
}

void ModuleSim::stop()
{
    process_.reset();
}

Gateway::Gateway(const std::string &config, std::vector<std::string> extra)
{
    const std::string dir = temp_dir();
    path_ = dir + "/gateway.toml";
    write_file(path_, config);
    std::vector<std::string> args{"--config", path_};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::vector<std::string> argv = kivtest::built_argv(KIV_GATEWAY_PATH, args);
    process_ = std::make_unique<kivtest::Process>(argv);
}

Gateway::~Gateway()
{
    stop(2s);
    std::filesystem::remove_all(std::filesystem::path(path_).parent_path());
}

void Gateway::rewrite(const std::string &config)
{
    write_file(path_ + ".new", config);
    std::filesystem::rename(path_ + ".new", path_);
}

int Gateway::stop(Ms limit)
{
    if (!process_->started() || process_->status() != -1)
        return process_->status();
    process_->signal(SIGTERM);
    return process_->finish(limit) ? process_->status() : -1;
}

std::string Gateway::err() const
{
    process_->collect(std::chrono::milliseconds(1));
    return process_->err();
}

std::string module_toml(const std::string &name, int model, const ModuleSim &sim, int interval_ms,
                        int timeout_ms)
{
    return "[[module]]\nname = \"" + name + "\"\nmodel = " + std::to_string(model) + "\naddress = \"" +
           sim.address + "\"\nmodbus_port = " + std::to_string(sim.modbus_port) +
           "\ninterval_ms = " + std::to_string(interval_ms) + "\ntimeout_ms = " + std::to_string(timeout_ms) +
           "\nconnect_timeout_ms = 500\n";
}

std::string gateway_toml(const std::string &id, const Broker *broker)
{
    std::string t = "[gateway]\nid = \"" + id + "\"\n";
    if (broker)
        t += "[mqtt]\nbroker = \"" + broker->address() + "\"\n";
    return t;
}

} // namespace gwtest
