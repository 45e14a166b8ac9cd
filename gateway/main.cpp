// kiv-gateway: polls many modules unattended and publishes their data to an
// MQTT broker (or, with --stdout, writes it as JSON Lines).
#include "config.h"
#include "discovery.h"
#include "engine.h"
#include "descriptor_limit.h"
#include "log.h"
#include "log_limit.h"
#include "loop.h"
#include "metrics.h"
#include "metrics_server.h"
#include "mqtt_output.h"
#include "pipeline.h"
#include "settings.h"
#include "stdout_lines.h"
#include "workers.h"

#include "kiv_version.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <memory>
#include <pthread.h>
#include <thread>

using namespace gateway;

namespace {

struct Options {
    std::string config;
    bool check = false;
    bool to_stdout = false;
    std::string level = "info";
};

// How long a stop may wait for the broker to take the last "offline"
// messages: the whole stop stays within a second.
constexpr std::chrono::milliseconds goodbye_limit{600};
// Under load the loop turns at most this often: the replies, deadlines
// and publishes of 2 ms share a wake-up, at up to 2 ms of delay. Replies
// carry the kernel's time of arrival, so that a poll's time and whether a
// reply beat its deadline do not move with it.
constexpr std::chrono::microseconds turn_quantum{2000};

// Waits for SIGINT or SIGTERM (blocked in every thread), looking every
// 200 ms whether standard output still takes the values.
void wait_for_stop(const sigset_t &stop, const StdoutLines *out)
{
    const timespec a_while{0, 200 * 1000 * 1000};
    for (;;) {
        const int sig = ::sigtimedwait(&stop, nullptr, &a_while);
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

    Loop loop;
    loop.set_quantum(turn_quantum);
    if (!loop.ok()) {
        log(Level::error, "cannot make the event loop: out of descriptors");
        return 1;
    }
    FanOut out;

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
        out.add(*metrics);
    }

    std::unique_ptr<StdoutLines> lines;
    std::unique_ptr<MqttOutput> mqtt;
    if (to_stdout) {
        lines = std::make_unique<StdoutLines>(c);
        out.add(*lines);
    } else {
        mqtt = std::make_unique<MqttOutput>(c, loop, metrics.get());
        out.add(*mqtt);
    }
    Workers workers(Workers::gateway_threads);
    Engine engine(c, PollerContext{loop, out, workers, metrics.get()});
    if (mqtt) {
        mqtt->announce(discovery_messages(c));
        if (std::any_of(c.modules.begin(), c.modules.end(), [](auto &m) { return m.commands; }))
            mqtt->take_commands([&](const OutputCommand &cmd) { engine.post(cmd); });
        std::string error;
        if (!mqtt->start(error)) {
            log(Level::error, error);
            return 1;
        }
    }
    log(Level::info, "polling " + c.id + "'s " + std::to_string(c.modules.size()) + " modules");
    loop.at_end_of_turn([&] { out.flush(); });
    engine.start();
    std::thread loop_thread([&] { loop.run(); });

    wait_for_stop(stop, lines.get());
    // On the loop: no poll, command or settings report after this; then
    // the broker is told, within the limit.
    loop.post([&] {
        engine.stop();
        workers.shut();
        out.flush();
        if (mqtt)
            mqtt->leave(Clock::now() + goodbye_limit, [&] { loop.quit(); });
        else
            loop.quit();
    });
    loop_thread.join();
    // The counts of lines held back are not lost with the process.
    log_limiter().flush();
    if (mqtt && mqtt->dropped())
        log(Level::warn, std::to_string(mqtt->dropped()) + " values were dropped while the broker was away");
    if (server)
        server->stop();
    return lines && !lines->ok() ? 1 : 0;
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
                               # offline_after (failed polls in a row
                               # that make it offline, default 3),
                               # commands (true: outputs switch over MQTT),
                               # pipeline (false: one request at a time)

Topics: kiv/<id>/status and kiv/<id>/<module>/status ("online" or
"offline", retained); kiv/<id>/<module>/values (one JSON object per poll);
kiv/<id>/<module>/do/<n>/set takes "on" or "off" where commands are on.
One thread polls every module (non-blocking, each request with its own
transaction id) and talks to the broker. SIGINT and SIGTERM publish
"offline" and end it within a second with status 0; a bad file, or more
modules than the descriptor limit allows (it is raised to the hard limit),
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
    if (std::string why; !raise_descriptor_limit(descriptors_needed(*config), why)) {
        std::fprintf(stderr, "kiv-gateway: %s: %zu modules: %s\n", o.config.c_str(), config->modules.size(),
                     why.c_str());
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
