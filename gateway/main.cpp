// kiv-gateway: polls many modules unattended and publishes their data to an
// MQTT broker (or, with --stdout, writes it as JSON Lines).
#include "config.h"
#include "config_files.h"
#include "discovery.h"
#include "engine.h"
#include "descriptor_limit.h"
#include "log.h"
#include "log_limit.h"
#include "loop.h"
#include "metrics.h"
#include "metrics_server.h"
#include "mqtt_output.h"
#include "sparkplug_output.h"
#include "pipeline.h"
#include "reload.h"
#include "settings.h"
#include "stdout_lines.h"
#include "store.h"
#include "web_server.h"
#include "web_state.h"
#include "workers.h"
#include "common/signal_wait.h"
#include "common/text.h"

#include "kiv_version.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
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

// The configuration as the start takes it, every file it names read and
// checked; ConfigError when it is refused.
Config load_checked(const std::string &path, bool to_stdout)
{
    Config config = load_config(path);
    if (!to_stdout && !config.mqtt)
        throw ConfigError(path, "[mqtt] with its broker is missing (or use --stdout)");
    // What the start would stop at is found here, for --check too.
    read_passwords(config, path);
    check_mqtt(config, path);
    return config;
}

// Until SIGINT or SIGTERM: SIGHUP reloads, the other handled signals are
// ignored with a line; every 200 ms it looks whether standard output still
// takes the values.
void serve_signals(common::SignalWait &signals, const StdoutLines *out, const std::function<void()> &reload)
{
    for (;;) {
        const int sig = signals.wait(200);
        if (sig == SIGINT || sig == SIGTERM) {
            log(Level::info, std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
            return;
        }
        if (sig == SIGHUP)
            reload();
        else if (sig > 0)
            log(Level::info, std::string("ignoring ") +
                                 (sig == SIGUSR1 ? "SIGUSR1" : sig == SIGUSR2 ? "SIGUSR2" : "SIGALRM"));
        if (out && !out->ok()) {
            log(Level::error, "standard output is closed; stopping");
            return;
        }
    }
}

int run(Config &c, const std::string &path, bool to_stdout)
{
    // The signals that would end the process by default and that the
    // gateway takes itself: set up before any thread starts, so that every
    // thread inherits their block and only the wait below takes them.
    common::SignalWait signals({SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM},
                               common::SignalWait::Delivery::in_wait);
    if (!signals.ok()) {
        log(Level::error, "cannot take the signals: out of descriptors");
        return 1;
    }
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
    // The console shows the broker's state as the metrics keep it.
    std::unique_ptr<Metrics> metrics;
    std::unique_ptr<MetricsServer> server;
    if (c.prometheus || c.web) {
        metrics = std::make_unique<Metrics>(c.modules);
        out.add(*metrics);
    }
    std::unique_ptr<WebState> web_state;
    std::unique_ptr<WebServer> web;
    std::unique_ptr<HttpServer> web_server;
    if (c.web) {
        web_state = std::make_unique<WebState>(c, [m = metrics.get()] { return m->broker_state(); });
        web = std::make_unique<WebServer>(c, *web_state, [&loop](std::function<void()> f) { loop.post(std::move(f)); });
        out.add(*web_state);
    }
    // One listener serves both when their addresses are the same.
    const bool shared = c.web && c.prometheus && c.web->host == c.prometheus->host && c.web->port == c.prometheus->port;
    if (c.prometheus) {
        server = std::make_unique<MetricsServer>(*metrics);
        if (shared)
            web->add_routes(server->server());
        server->start(*c.prometheus);
        std::string where = "metrics at http://";
        where += c.prometheus->listen();
        where += "/metrics";
        log(Level::info, where);
    }
    if (c.web && !shared) {
        web_server = std::make_unique<HttpServer>();
        web->add_routes(*web_server);
        if (auto started = web_server->start(c.web->host, c.web->port); !started)
            throw ConfigError(cannot_listen("[web]", c.web->listen(), started), ConfigError::Refused::start);
    }
    if (c.web) {
        std::string where = "console at http://";
        where += c.web->listen();
        where += "/";
        where += c.web->token.empty() ? " (read-only)" : "";
        log(Level::info, where);
    }

    std::unique_ptr<StdoutLines> lines;
    std::unique_ptr<Store> store;
    std::unique_ptr<MqttOutput> mqtt;
    std::unique_ptr<SparkplugOutput> sparkplug;
    auto open_store = [](const StoreConfig &sc) {
        std::unique_ptr<Store> s = Store::open(sc);
        log(Level::info, "store " + sc.path + ": run " + std::to_string(s->run()));
        return s;
    };
    if (to_stdout) {
        lines = std::make_unique<StdoutLines>(c);
        out.add(*lines);
    } else {
        if (c.mqtt->json) {
            if (c.store)
                store = open_store(*c.store);
            mqtt = std::make_unique<MqttOutput>(c, loop, metrics.get());
            if (store)
                mqtt->use_store(*store);
            out.add(*mqtt);
        }
        if (c.sparkplug) {
            sparkplug = std::make_unique<SparkplugOutput>(c, loop);
            if (c.store) {
                StoreConfig sc = *c.store;
                sc.path = sparkplug_store_path(sc.path);
                sparkplug->use_store(open_store(sc));
            }
            out.add(*sparkplug);
        }
    }
    Workers workers(Workers::gateway_threads);
    Engine engine(c, PollerContext{loop, out, workers, metrics.get()});
    if (mqtt) {
        mqtt->announce(discovery_messages(c));
        mqtt->take_commands([&](const OutputCommand &cmd) { engine.post(cmd); });
        mqtt->start();
    }
    if (web)
        web->take_commands([&](const OutputCommand &cmd) { engine.post(cmd); });
    if (sparkplug) {
        sparkplug->take_commands([&](const OutputCommand &cmd) { engine.post(cmd); });
        sparkplug->start();
    }
    log(Level::info, "polling " + c.id + "'s " + std::to_string(c.modules.size()) + " modules");
    loop.at_end_of_turn([&] { out.flush(); });
    engine.start();
    std::thread loop_thread([&] { loop.run(); });

    // Read and checked here, applied on the loop: a module that the file
    // leaves as it was is not touched. The loop owns c; this thread sees
    // only how many slots it has.
    std::atomic<std::size_t> slots{c.modules.size()};
    auto apply = [&](Config next) {
        ReloadPlan plan = plan_reload(c, next);
        for (const std::string &section : plan.kept)
            log(Level::warn, "reload: " + section + " changed; it applies at the next start");
        std::string done = describe(plan, c.modules);
        std::vector<ModuleConfig> before = std::move(c.modules);
        c.modules = std::move(plan.modules);
        const ModulesChanged changed{c.modules, before, plan.added, plan.removed, plan.changed};
        slots = c.modules.size();
        engine.apply(changed);
        out.modules_changed(changed);
        if (mqtt)
            mqtt->announce(discovery_messages(c));
        log(Level::info, "reloaded " + path + ": " + done);
    };
    auto reload = [&] {
        auto next = reread([&] {
            Config read = load_checked(path, to_stdout);
            // The running descriptors plus the new modules': what a reload
            // needs at most while the removed close.
            raise_descriptor_limit(read, path, slots);
            return read;
        });
        if (next)
            loop.post([&apply, next = std::move(*next)]() mutable { apply(std::move(next)); });
    };
    serve_signals(signals, lines.get(), reload);
    // On the loop: no poll, command or settings report after this; then
    // the broker is told, within the limit.
    loop.post([&] {
        engine.stop();
        workers.shut();
        out.flush();
        // Each output says goodbye on its own connection; the loop ends
        // when both have.
        const auto by = Clock::now() + goodbye_limit;
        auto left = std::make_shared<int>((mqtt ? 1 : 0) + (sparkplug ? 1 : 0));
        auto one_left = [&loop, left] {
            if (--*left == 0)
                loop.quit();
        };
        if (mqtt)
            mqtt->leave(by, one_left);
        if (sparkplug)
            sparkplug->leave(by, one_left);
        if (*left == 0)
            loop.quit();
    });
    loop_thread.join();
    // The counts of lines held back are not lost with the process.
    log_limiter().flush();
    if (mqtt && mqtt->dropped())
        log(Level::warn, std::to_string(mqtt->dropped()) + " messages for the broker were not delivered in this run");
    if (server)
        server->stop();
    if (web_server)
        web_server->stop();
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
                               # ca_file (TLS), qos, keepalive_s, queue_limit
                               # (messages held for the broker at most),
                               # homeassistant, discovery_prefix, json
                               # (false: no kiv/... topics)
  [sparkplug]                  # optional: a Sparkplug B edge node too
  group_id = "plant"           # also edge_node_id (default: the id),
                               # primary_host_id, state_file (bdSeq;
                               # default $STATE_DIRECTORY/sparkplug-bdseq)
  [store]                      # optional: values on disk until the
  path = "store.db"            # broker has them (SQLite); also max_mb,
                               # max_age ("7d"), replay_per_s
  [prometheus]                 # optional: http://<listen>/metrics
  listen = "127.0.0.1:9502"    # the default; ADDRESS:PORT, IPv6 as [::1]:9502
  [web]                        # optional: the console, http://<listen>/
  listen = "127.0.0.1:9503"    # the default; also token_file (its first line
                               # lets the console switch outputs)
  [[module]]                   # one per module
  name = "oven1"               # letters, digits, '-', '_'
  model = 7303                 # 7301, 7302 or 7303
  address = "10.0.0.23"        # IPv4 address or host name
  interval_ms = 1000           # also timeout_ms, modbus_port,
                               # config_port, connect_timeout_ms,
                               # offline_after (failed polls in a row
                               # that make it offline, default 3),
                               # commands (true: outputs switch over MQTT),
                               # pipeline (false: one request at a time),
                               # publish ("every_poll", the default, or
                               # "change": values when they change, whole
                               # at least every heartbeat_s, default 60),
                               # deadband (AI and TC: a change is a move
                               # beyond it, in the channel's unit)

Topics: kiv/<id>/status and kiv/<id>/<module>/status ("online" or
"offline", retained); kiv/<id>/<module>/values (one JSON object per poll,
or per change with publish = "change"); kiv/<id>/<module>/do/<n>/set takes
"on" or "off" where commands are on. With [sparkplug]:
spBv1.0/<group_id>/<NBIRTH|NDEATH|NDATA|NCMD|DBIRTH|DDEATH|DDATA|DCMD>/
<edge_node_id>[/<module>], each module a device; DDATA carry what changed
beyond the module's deadband; a DCMD may write do/<n> (Boolean).
One thread polls every module (non-blocking, each request with its own
transaction id) and talks to the broker. SIGINT and SIGTERM publish
"offline" and end it within a second with status 0; SIGHUP reads the file
again and starts, stops or changes the modules that differ (a file that
fails the checks is refused, the running one stays); a bad file, or more
modules than the descriptor limit allows (it is raised to the hard limit),
ends it with status 2 before anything connects, a [prometheus] or [web]
listen address that cannot be bound with status 1.)");
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

    // A start refused, here or in run(): before run() the file or one it
    // names, told as the check tells it; in run() on the log, after the
    // lines that the start wrote.
    bool running = false;
    try {
        Config config = load_checked(o.config, o.to_stdout);
        raise_descriptor_limit(config, o.config);
        if (o.check) {
            const std::string metrics = common::concat(
                {config.prometheus ? common::concat({", metrics at http://", config.prometheus->listen(), "/metrics"})
                                   : std::string(),
                 config.web ? common::concat({", console at http://", config.web->listen(), "/"}) : std::string()});
            std::printf("%s: %zu modules, gateway %s%s\n", o.config.c_str(), config.modules.size(),
                        config.id.c_str(), metrics.c_str());
            return 0;
        }
        running = true;
        return run(config, o.config, o.to_stdout);
    } catch (const ConfigError &e) {
        if (!running) {
            std::fprintf(stderr, "kiv-gateway: %s\n", e.what());
            return 2;
        }
        log(Level::error, e.what());
        return e.refused() == ConfigError::Refused::start ? 1 : 2;
    }
}
