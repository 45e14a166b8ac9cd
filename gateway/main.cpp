// kiv-gateway: polls many modules unattended and publishes their data to an
// MQTT broker (or, with --stdout, writes it as JSON Lines).
#include "config.h"
#include "log.h"
#include "discovery.h"
#include "metrics.h"
#include "metrics_server.h"
#include "mqtt_sink.h"
#include "channels.h"
#include "poller.h"
#include "settings.h"
#include "stdout_sink.h"

#include "kiv_version.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <list>
#include <map>
#include <memory>
#include <pthread.h>

using namespace gateway;

namespace {

struct Options {
    std::string config;
    bool check = false;
    bool to_stdout = false;
    std::string level = "info";
};

// The phase of module i of n: polls spread evenly over the interval, so that
// modules with one interval do not all poll in the same millisecond.
std::chrono::milliseconds phase(const ModuleConfig &m, std::size_t i, std::size_t n)
{
    return std::chrono::milliseconds(static_cast<long>(m.interval_ms) * static_cast<long>(i) /
                                     static_cast<long>(n));
}

// Waits for SIGINT or SIGTERM (blocked in every thread), looking every
// second whether standard output still takes the values.
void wait_for_stop(const sigset_t &stop, const StdoutSink *out)
{
    const timespec second{1, 0};
    for (;;) {
        const int sig = ::sigtimedwait(&stop, nullptr, &second);
        if (sig == SIGINT || sig == SIGTERM) {
            log(Level::info, std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
            return;
        }
        if (out && !out->ok()) {
            log(Level::error, "standard output is closed; stopping");
            return;
        }
    }
}

// An output command for a module: taken by its poller, or why not.
std::string route_command(const Config &c, const std::map<std::string, Poller *> &pollers,
                          const std::string &name, int channel, bool on)
{
    auto m = std::find_if(c.modules.begin(), c.modules.end(), [&](auto &x) { return x.name == name; });
    if (m == c.modules.end())
        return "no module " + name;
    if (!m->commands)
        return "commands are off for module " + name;
    if (channel < 1 || channel > channels_of(m->model).outputs)
        return "module " + name + " has no output " + std::to_string(channel);
    pollers.at(name)->post_output(channel, on);
    return "";
}

int run(const Config &c, bool to_stdout)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    // Blocked before any thread starts, so that every thread inherits it and
    // only the wait below takes them.
    ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // A closed pipe or socket is an error to handle, not the end.
    std::signal(SIGPIPE, SIG_IGN);

    // Before anything connects: an address that cannot be bound ends the
    // start, rather than a gateway running that nobody can watch.
    std::unique_ptr<Metrics> metrics;
    std::unique_ptr<MetricsServer> server;
    if (c.prometheus) {
        metrics = std::make_unique<Metrics>(c.modules);
        server = std::make_unique<MetricsServer>(*metrics);
        std::string error;
        if (!server->start(*c.prometheus, error)) {
            log(Level::error, error);
            return 1;
        }
        std::string where = "metrics at http://";
        where += c.prometheus->listen();
        where += "/metrics";
        log(Level::info, where);
    }

    std::unique_ptr<StdoutSink> out;
    std::unique_ptr<MqttSink> mqtt;
    Sink *sink = nullptr;
    if (to_stdout) {
        out = std::make_unique<StdoutSink>();
        sink = out.get();
    } else {
        mqtt = std::make_unique<MqttSink>(*c.mqtt, c.id, metrics.get());
        sink = mqtt.get();
    }
    log(Level::info, "polling " + c.id + "'s " + std::to_string(c.modules.size()) + " modules");
    {
        // Made before the MQTT client starts, so that a command that comes
        // in finds its poller.
        std::list<Poller> pollers;
        std::map<std::string, Poller *> by_name;
        for (std::size_t i = 0; i < c.modules.size(); ++i) {
            pollers.emplace_back(c.modules[i], *sink, phase(c.modules[i], i, c.modules.size()), Backoff{},
                                 metrics ? &metrics->module(i) : nullptr);
            by_name[c.modules[i].name] = &pollers.back();
        }
        if (mqtt) {
            mqtt->announce(discovery_messages(c));
            if (std::any_of(c.modules.begin(), c.modules.end(), [](auto &m) { return m.commands; }))
                mqtt->take_commands([&](const std::string &name, int channel, bool on) {
                    return route_command(c, by_name, name, channel, on);
                });
            std::string error;
            if (!mqtt->start(error)) {
                log(Level::error, error);
                return 1;
            }
        }
        wait_for_stop(stop, out.get());
        // No more commands: the client's thread ends before the pollers.
        if (mqtt)
            mqtt->stop(std::chrono::seconds(2));
        for (Poller &p : pollers)
            p.stop();
    }
    if (mqtt) {
        if (auto n = mqtt->dropped())
            log(Level::warn, std::to_string(n) + " values were dropped while the broker was away");
    }
    if (server)
        server->stop();
    return out && !out->ok() ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    CLI::App app("kiv-gateway: polls kiv modules and publishes their data to an MQTT broker", "kiv-gateway");
    app.add_option("-c,--config", o.config, "the configuration file (TOML)")->required();
    app.add_flag("--check", o.check, "only check the configuration file, then exit");
    app.add_flag("--stdout", o.to_stdout,
                 "write each poll as a line of JSON to standard output instead of publishing it");
    app.add_option("--log-level", o.level, "debug, info, warn or error")->capture_default_str();
    app.set_version_flag("--version", std::string("kiv-gateway ") + KIV_VERSION_STRING);
    app.footer(R"(The configuration file (TOML):
  [gateway]
  id = "line3"                 # topic root kiv/line3/...
  [mqtt]
  broker = "127.0.0.1:1883"    # also client_id, username, password_file,
                               # ca_file (TLS), qos, keepalive_s, queue_limit,
                               # homeassistant, discovery_prefix
  [prometheus]                 # optional: http://<listen>/metrics
  listen = "127.0.0.1:9502"    # the default; ADDRESS:PORT, IPv6 as [::1]:9502
  [[module]]                   # one per module
  name = "oven1"               # letters, digits, '-', '_'
  model = 7303                 # 7301, 7302 or 7303
  address = "10.0.0.23"        # IPv4 address or host name
  interval_ms = 1000           # also timeout_ms, modbus_port,
                               # config_port, connect_timeout_ms,
                               # commands (true: outputs switch over MQTT)

Topics: kiv/<id>/status and kiv/<id>/<module>/status ("online" or
"offline", retained); kiv/<id>/<module>/values (one JSON object per poll);
kiv/<id>/<module>/do/<n>/set takes "on" or "off" where commands are on.
SIGINT and SIGTERM publish "offline" and end it with status 0; a bad file
ends it with status 2 before anything connects, a [prometheus] listen
address that cannot be bound with status 1.)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    Level level{};
    if (!parse_level(o.level, level)) {
        std::fprintf(stderr, "kiv-gateway: --log-level: expected debug, info, warn or error\n");
        return 2;
    }
    set_log_level(level);

    std::string error;
    auto config = load_config(o.config, error);
    if (config && !o.to_stdout && !config->mqtt) {
        error = o.config + ": [mqtt] with its broker is missing (or use --stdout)";
        config.reset();
    }
    if (config && !read_passwords(config->modules, error))
        config.reset();
    if (!config) {
        std::fprintf(stderr, "kiv-gateway: %s\n", error.c_str());
        return 2;
    }
    if (o.check) {
        // In steps: GCC 12 misjudges a literal plus a temporary when optimising.
        std::string metrics;
        if (config->prometheus) {
            metrics = ", metrics at http://";
            metrics += config->prometheus->listen();
            metrics += "/metrics";
        }
        std::printf("%s: %zu modules, gateway %s%s\n", o.config.c_str(), config->modules.size(),
                    config->id.c_str(), metrics.c_str());
        return 0;
    }
    return run(*config, o.to_stdout);
}
