// The gateway's configuration file: what it is, where its broker is, and
// the modules it polls.
#pragma once

#include "kiv.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gateway {

struct MqttConfig {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string client_id;         // "kiv-gateway-<id>" when the file has none
    std::string username;
    std::string password_file;     // the password is never in this file
    std::string password;          // its first line, read with the file (read_passwords)
    std::string ca_file;           // TLS with this CA when set
    int qos = 1;
    int keepalive_s = 30;
    // Values kept while the broker is away; the oldest go first.
    std::size_t queue_limit = 10000;
    // Home Assistant's MQTT discovery, under this topic prefix.
    bool homeassistant = false;
    std::string discovery_prefix = "homeassistant";
    // The gateway's own JSON topics; false when only Sparkplug B is wanted.
    bool json = true;

    bool operator==(const MqttConfig &) const = default;
};

// Settings a module should have, applied by the gateway: bit n-1 of a mask
// is channel or output n.
struct DeclaredSettings {
    std::optional<unsigned> ai_enable;     // 7301: the enabled channels
    std::vector<std::uint8_t> ai_range;    // 7301: range codes of channels 1..n
    std::optional<unsigned> tc_enable;     // 7303
    std::optional<unsigned> do_power_on;   // the outputs on at power-on
    bool save = false;                     // save (the module restarts) after a change
    std::string password_file;             // the login password: its first line,
    std::string password_env;              // or this environment variable

    bool operator==(const DeclaredSettings &) const = default;
};

// The Prometheus endpoint, http://<host>:<port>/metrics. Loopback unless
// the file says otherwise: the metrics tell anyone who can reach them what
// the plant is doing.
struct PrometheusConfig {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address, no name
    int port = 9502;
    // "127.0.0.1:9502", "[::1]:9502"
    std::string listen() const;

    bool operator==(const PrometheusConfig &) const = default;
};

// The web console, http://<host>:<port>/. Loopback unless the file says
// otherwise, read-only unless a token file is given.
struct WebConfig {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address, no name
    int port = 9503;
    std::string token_file;  // switching outputs needs its first line as a bearer token
    std::string token;       // read with the file (read_passwords)
    std::string listen() const;

    bool operator==(const WebConfig &) const = default;
};

// Store-and-forward: every values message is on disk before it goes to the
// broker, and leaves the disk when the broker has taken it.
struct StoreConfig {
    std::string path;                        // the SQLite database
    std::uint64_t max_bytes = 1024ull << 20; // "max_mb": the oldest go past it
    std::chrono::seconds max_age{7 * 86400}; // "max_age": "7d", "12h", "30m", "45s"
    int replay_per_s = 500;                  // backlog messages per second

    bool operator==(const StoreConfig &) const = default;
};

// A Sparkplug B edge node on the [mqtt] broker, beside the JSON topics.
struct SparkplugConfig {
    std::string group_id;
    std::string edge_node_id;      // the gateway's id when the file has none
    std::string primary_host_id;   // births wait for its STATE when set
    // bdSeq across restarts: "$STATE_DIRECTORY/sparkplug-bdseq", or in the
    // working directory when that is unset.
    std::string state_file;

    bool operator==(const SparkplugConfig &) const = default;
};

// When a module's values are published: after every poll, or when one of
// them changed (by more than deadband, in the channel's unit, for AI and
// TC), and whole at least every heartbeat_s all the same.
enum class Publish { every_poll, change };

struct ModuleConfig {
    std::string name;
    int model = 0;                 // 7301, 7302 or 7303
    const kiv::model_info *traits = nullptr;  // the model's, set with it
    std::string address;           // IPv4 or host name
    int interval_ms = 1000;
    int timeout_ms = 200;
    int modbus_port = 502;
    int config_port = 5001;
    int connect_timeout_ms = 1000;
    // Failed polls in a row that make the module offline: one late answer
    // now and then is not an outage.
    int offline_after = 3;
    // Outputs may be switched over MQTT.
    bool commands = false;
    // A poll's reads are sent together, each with its own transaction id;
    // false for a module that takes one request at a time.
    bool pipeline = true;
    Publish publish = Publish::every_poll;
    double deadband = 0;
    int heartbeat_s = 60;
    std::optional<DeclaredSettings> settings;
    // Read from password_file or password_env at start, never from the
    // configuration file itself.
    std::string password;

    // A slot that a reload emptied: no module, no name.
    bool vacant() const { return traits == nullptr; }
    bool operator==(const ModuleConfig &) const = default;
};

struct Config {
    std::string id;
    std::optional<MqttConfig> mqtt;
    std::optional<PrometheusConfig> prometheus;  // none: nothing listens
    std::optional<WebConfig> web;                // none: no console
    std::optional<StoreConfig> store;            // none: values wait in memory only
    std::optional<SparkplugConfig> sparkplug;    // needs [mqtt]
    // A module keeps its index for as long as the gateway runs, across
    // reloads: one that a reload removed leaves a vacant slot, which a
    // later one may take.
    std::vector<ModuleConfig> modules;
};

// "127.0.0.1:9502", "[::1]:9502"
std::string listen_text(const std::string &host, int port);

// A start that cannot go on. what() is the one line that says why, naming
// the configuration file and the line where one is known ("gw.toml:7:
// module "a": interval_ms ...", "gw.toml: [mqtt] ca_file: ..."), or the
// section for what this host refuses ("[web] cannot listen on ...").
class ConfigError : public std::runtime_error {
public:
    // What was refused: the configuration, or a file that it names, before
    // anything started (exit status 2); or a step of the start that this
    // host refused to a file that passed, such as an address in use (1).
    enum class Refused { configuration, start };

    // "FILE:LINE: reason", or "FILE: reason" when line is 0.
    ConfigError(const std::string &file, std::size_t line, const std::string &reason,
                Refused what = Refused::configuration);
    ConfigError(const std::string &file, const std::string &reason, Refused what = Refused::configuration);
    // A line already composed.
    explicit ConfigError(const std::string &message, Refused what = Refused::configuration);

    Refused refused() const { return refused_; }

private:
    Refused refused_;
};

// Reads and checks the file; ConfigError when it is refused.
Config load_config(const std::string &path);

// Letters, digits, '-' and '_': safe in a topic and in a file name.
bool valid_name(const std::string &s);

} // namespace gateway
