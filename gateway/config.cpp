#include "config.h"

#include "small_file.h"

#include <toml++/toml.h>

#include <arpa/inet.h>

#include <cmath>
#include <set>
#include <tuple>

namespace gateway {

namespace {

// One complaint about the file, with the line of the node it is about.
struct Bad {
    std::string reason;
    toml::source_position where{};
};

// "FILE:LINE: reason", or "FILE: reason" when no line is known. Appended
// in steps: GCC 12 misjudges ":" + std::to_string(...) in optimised builds.
std::string located(const std::string &path, std::size_t line, const std::string &reason)
{
    std::string s = path;
    if (line) {
        s += ':';
        s += std::to_string(line);
    }
    s += ": ";
    s += reason;
    return s;
}

std::string located(const std::string &path, const Bad &b)
{
    return located(path, b.where.line, b.reason);
}

// Keys that a table may hold: a misspelt key is an error, not a default.
std::optional<Bad> unknown_keys(const toml::table &t, const std::string &what,
                                std::initializer_list<std::string_view> allowed)
{
    for (auto &&[key, node] : t) {
        bool known = false;
        for (auto a : allowed)
            known = known || key.str() == a;
        if (!known)
            return Bad{what + ": unknown key \"" + std::string(key.str()) + "\"", key.source().begin};
    }
    return std::nullopt;
}

// A section that the file may leave out: null when it does, or when it is
// refused (bad: not a table, or a key not among allowed).
const toml::table *optional_section(const toml::table &root, const std::string &name,
                                    std::initializer_list<std::string_view> allowed, std::optional<Bad> &bad)
{
    const toml::node *node = root.get(name);
    if (!node)
        return nullptr;
    const toml::table *t = node->as_table();
    if (!t)
        bad = Bad{"[" + name + "] must be a table", node->source().begin};
    else
        bad = unknown_keys(*t, "[" + name + "]", allowed);
    return bad ? nullptr : t;
}

std::optional<Bad> get_string(const toml::table &t, std::string_view key, const std::string &what,
                              std::string &out, bool required)
{
    const toml::node *n = t.get(key);
    if (!n) {
        if (required)
            return Bad{what + ": " + std::string(key) + " is missing", t.source().begin};
        return std::nullopt;
    }
    if (!n->is_string())
        return Bad{what + ": " + std::string(key) + " must be a string", n->source().begin};
    out = n->as_string()->get();
    return std::nullopt;
}

std::optional<Bad> get_int(const toml::table &t, std::string_view key, const std::string &what,
                           int &out, long low, long high, bool required = false)
{
    const toml::node *n = t.get(key);
    if (!n) {
        if (required)
            return Bad{what + ": " + std::string(key) + " is missing", t.source().begin};
        return std::nullopt;
    }
    if (!n->is_integer())
        return Bad{what + ": " + std::string(key) + " must be an integer", n->source().begin};
    const auto v = n->as_integer()->get();
    if (v < low || v > high)
        return Bad{what + ": " + std::string(key) + " must be " + std::to_string(low) + ".." +
                       std::to_string(high) + ", not " + std::to_string(v),
                   n->source().begin};
    out = static_cast<int>(v);
    return std::nullopt;
}

std::optional<Bad> get_bool(const toml::table &t, std::string_view key, const std::string &what, bool &out)
{
    const toml::node *n = t.get(key);
    if (!n)
        return std::nullopt;
    if (!n->is_boolean())
        return Bad{what + ": " + std::string(key) + " must be true or false", n->source().begin};
    out = n->as_boolean()->get();
    return std::nullopt;
}

// A number at least 0: TOML's 1 and 1.0 alike, neither inf nor nan.
std::optional<Bad> get_non_negative(const toml::table &t, std::string_view key, const std::string &what,
                                    double &out)
{
    const toml::node *n = t.get(key);
    if (!n)
        return std::nullopt;
    const auto v = n->value<double>();
    if ((!n->is_integer() && !n->is_floating_point()) || !v)
        return Bad{what + ": " + std::string(key) + " must be a number", n->source().begin};
    if (!std::isfinite(*v) || *v < 0)
        return Bad{what + ": " + std::string(key) + " must be a finite number >= 0", n->source().begin};
    out = *v;
    return std::nullopt;
}

std::optional<Bad> get_publish(const toml::table &t, const std::string &what, Publish &out)
{
    std::string word;
    if (auto b = get_string(t, "publish", what, word, false))
        return b;
    if (!t.get("publish"))
        return std::nullopt;
    if (word != "every_poll" && word != "change")
        return Bad{what + ": publish must be \"every_poll\" or \"change\", not \"" + word + "\"",
                   t.get("publish")->source().begin};
    out = word == "change" ? Publish::change : Publish::every_poll;
    return std::nullopt;
}

// "host:port" or "host"; the port defaults to MQTT's 1883.
bool split_broker(const std::string &text, std::string &host, int &port)
{
    const auto colon = text.rfind(':');
    host = text.substr(0, colon);
    if (host.empty())
        return false;
    if (colon == std::string::npos)
        return true;
    const std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(p);
    return port >= 1 && port <= 65535;
}

std::optional<Bad> read_gateway(const toml::table &root, Config &c)
{
    const toml::table *g = root["gateway"].as_table();
    if (!g)
        return Bad{"[gateway] with its id is missing", {}};
    if (auto b = unknown_keys(*g, "[gateway]", {"id"}))
        return b;
    if (auto b = get_string(*g, "id", "[gateway]", c.id, true))
        return b;
    if (!valid_name(c.id))
        return Bad{"[gateway]: id must be letters, digits, '-' and '_'", g->get("id")->source().begin};
    return std::nullopt;
}

std::optional<Bad> read_mqtt(const toml::table &root, Config &c)
{
    std::optional<Bad> bad;
    const toml::table *t = optional_section(root, "mqtt",
                                            {"broker", "client_id", "username", "password_file", "ca_file", "qos",
                                             "keepalive_s", "queue_limit", "homeassistant", "discovery_prefix", "json"},
                                            bad);
    if (!t)
        return bad;
    const std::string what = "[mqtt]";
    MqttConfig m;
    std::string broker;
    if (auto b = get_string(*t, "broker", what, broker, true))
        return b;
    if (!split_broker(broker, m.host, m.port))
        return Bad{what + ": broker must be host:port, not \"" + broker + "\"",
                   t->get("broker")->source().begin};
    for (auto [key, out] : {std::pair{"client_id", &m.client_id}, std::pair{"username", &m.username},
                            std::pair{"password_file", &m.password_file}, std::pair{"ca_file", &m.ca_file}})
        if (auto b = get_string(*t, key, what, *out, false))
            return b;
    if (m.client_id.empty())
        m.client_id = "kiv-gateway-" + c.id;
    int limit = static_cast<int>(m.queue_limit);
    if (auto b = get_int(*t, "qos", what, m.qos, 0, 2))
        return b;
    if (auto b = get_int(*t, "keepalive_s", what, m.keepalive_s, 5, 3600))
        return b;
    if (auto b = get_int(*t, "queue_limit", what, limit, 0, 1000000))
        return b;
    m.queue_limit = static_cast<std::size_t>(limit);
    if (auto b = get_bool(*t, "homeassistant", what, m.homeassistant))
        return b;
    if (auto b = get_bool(*t, "json", what, m.json))
        return b;
    if (auto b = get_string(*t, "discovery_prefix", what, m.discovery_prefix, false))
        return b;
    if (m.discovery_prefix.empty() || m.discovery_prefix.find_first_of("+#") != std::string::npos)
        return Bad{what + ": discovery_prefix must be a topic without wildcards",
                   t->get("discovery_prefix")->source().begin};
    c.mqtt = m;
    return std::nullopt;
}

// A list of channel numbers 1..count as a mask, bit n-1 for channel n.
std::optional<Bad> get_channels(const toml::table &t, std::string_view key, const std::string &what, int count,
                                std::optional<unsigned> &out)
{
    const toml::node *n = t.get(key);
    if (!n)
        return std::nullopt;
    const toml::array *list = n->as_array();
    const std::string k(key);
    if (!list)
        return Bad{what + ": " + k + " must be a list of channel numbers", n->source().begin};
    unsigned mask = 0;
    for (const toml::node &e : *list) {
        const auto v = e.value<std::int64_t>();
        if (!e.is_integer() || !v || *v < 1 || *v > count)
            return Bad{what + ": " + k + " takes channels 1.." + std::to_string(count), e.source().begin};
        mask |= 1u << (*v - 1);
    }
    out = mask;
    return std::nullopt;
}

// Range codes 0..10 or their labels ("0~10V"), for channels 1..n.
std::optional<Bad> get_ranges(const toml::table &t, const std::string &what, std::vector<std::uint8_t> &out)
{
    const toml::node *n = t.get("ai_range");
    if (!n)
        return std::nullopt;
    const toml::array *list = n->as_array();
    if (!list || list->empty() || list->size() > 8)
        return Bad{what + ": ai_range must list the ranges of channels 1..n (n up to 8)", n->source().begin};
    for (const toml::node &e : *list) {
        std::optional<std::uint8_t> code;
        if (auto v = e.value<std::int64_t>(); e.is_integer() && v && *v >= 0 && *v < kiv::range_count)
            code = static_cast<std::uint8_t>(*v);
        else if (e.is_string())
            code = kiv::range_from_label(e.as_string()->get());
        if (!code)
            return Bad{what + ": ai_range takes codes 0..10 or labels such as \"0~10V\"", e.source().begin};
        out.push_back(*code);
    }
    return std::nullopt;
}

std::optional<Bad> read_settings(const toml::table &module, const std::string &who, ModuleConfig &m)
{
    const toml::node *node = module.get("settings");
    if (!node)
        return std::nullopt;
    const toml::table *t = node->as_table();
    const std::string what = who + " settings";
    if (!t)
        return Bad{what + " must be a table ([module.settings])", node->source().begin};
    if (const toml::node *pw = t->get("password"))
        return Bad{what + ": a password never stands in this file: password_file or password_env",
                   pw->source().begin};
    if (auto b = unknown_keys(*t, what,
                              {"ai_enable", "ai_range", "tc_enable", "do_power_on", "save", "password_file",
                               "password_env"}))
        return b;
    DeclaredSettings d;
    // Each setting exists where the model has its channels.
    const kiv::model_info &has = *m.traits;
    for (auto [key, count] : {std::pair{"ai_enable", has.ai}, std::pair{"ai_range", has.ai},
                              std::pair{"tc_enable", has.tc}})
        if (const toml::node *n = t->get(key); n && count == 0)
            return Bad{what + ": the " + has.name + " has no " + key, n->source().begin};
    if (auto b = get_channels(*t, "ai_enable", what, has.ai, d.ai_enable))
        return b;
    if (auto b = get_ranges(*t, what, d.ai_range))
        return b;
    if (auto b = get_channels(*t, "tc_enable", what, has.tc, d.tc_enable))
        return b;
    if (auto b = get_channels(*t, "do_power_on", what, has.outputs, d.do_power_on))
        return b;
    if (auto b = get_bool(*t, "save", what, d.save))
        return b;
    if (auto b = get_string(*t, "password_file", what, d.password_file, false))
        return b;
    if (auto b = get_string(*t, "password_env", what, d.password_env, false))
        return b;
    m.settings = d;
    return std::nullopt;
}

// "ADDRESS:PORT" with an IPv4 address or a bracketed IPv6 one. Addresses
// only: a name would be looked up at every start, and the address to listen
// on is one of this host's own. An empty reason means the text is good.
std::string split_listen(const std::string &text, std::string &host, int &port)
{
    const std::string form = "listen must be ADDRESS:PORT (IPv4, or IPv6 in brackets), not \"" + text + "\"";
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return form;
    std::string h = text.substr(0, colon);
    const bool bracketed = h.front() == '[';
    if (bracketed != (h.back() == ']'))
        return form;
    unsigned char buf[16];
    if (bracketed) {
        h = h.substr(1, h.size() - 2);
        if (::inet_pton(AF_INET6, h.c_str(), buf) != 1)
            return form;
    } else if (::inet_pton(AF_INET, h.c_str(), buf) != 1) {
        return form;
    }
    const std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return form;
    const int n = std::stoi(p);
    if (n < 1 || n > 65535) {
        std::string why = "listen port must be 1..65535, not ";
        why += p;
        return why;
    }
    host = h;
    port = n;
    return {};
}

std::optional<Bad> read_prometheus(const toml::table &root, Config &c)
{
    std::optional<Bad> bad;
    const toml::table *t = optional_section(root, "prometheus", {"listen"}, bad);
    if (!t)
        return bad;
    const std::string what = "[prometheus]";
    PrometheusConfig p;
    std::string listen;
    if (auto b = get_string(*t, "listen", what, listen, false))
        return b;
    if (!listen.empty() || t->get("listen")) {
        const std::string why = split_listen(listen, p.host, p.port);
        if (!why.empty())
            return Bad{what + ": " + why, t->get("listen")->source().begin};
    }
    c.prometheus = p;
    return std::nullopt;
}

std::optional<Bad> read_web(const toml::table &root, Config &c)
{
    std::optional<Bad> bad;
    const toml::table *t = optional_section(root, "web", {"listen", "token_file"}, bad);
    if (!t)
        return bad;
    const std::string what = "[web]";
    WebConfig w;
    std::string listen;
    if (auto b = get_string(*t, "listen", what, listen, false))
        return b;
    if (!listen.empty() || t->get("listen")) {
        const std::string why = split_listen(listen, w.host, w.port);
        if (!why.empty())
            return Bad{what + ": " + why, t->get("listen")->source().begin};
    }
    if (auto b = get_string(*t, "token_file", what, w.token_file, false))
        return b;
    c.web = w;
    return std::nullopt;
}

// "7d", "12h", "30m", "45s": a whole number and its unit.
bool parse_age(const std::string &text, std::chrono::seconds &out)
{
    if (text.size() < 2 || text.size() > 8 || text.find_first_not_of("0123456789") != text.size() - 1)
        return false;
    const long n = std::stol(text.substr(0, text.size() - 1));
    const char unit = text.back();
    const long per = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
    if (per == 0 || n < 1)
        return false;
    out = std::chrono::seconds(n * per);
    return true;
}

std::optional<Bad> read_store(const toml::table &root, Config &c)
{
    std::optional<Bad> bad;
    const toml::table *t = optional_section(root, "store", {"path", "max_mb", "max_age", "replay_per_s"}, bad);
    if (!t)
        return bad;
    const std::string what = "[store]";
    StoreConfig s;
    if (auto b = get_string(*t, "path", what, s.path, true))
        return b;
    int mb = static_cast<int>(s.max_bytes >> 20);
    if (auto b = get_int(*t, "max_mb", what, mb, 1, 1024 * 1024))
        return b;
    s.max_bytes = static_cast<std::uint64_t>(mb) << 20;
    std::string age;
    if (auto b = get_string(*t, "max_age", what, age, false))
        return b;
    if (!age.empty() && !parse_age(age, s.max_age))
        return Bad{what + ": max_age must be a number and s, m, h or d, like \"7d\"", t->get("max_age")->source().begin};
    if (auto b = get_int(*t, "replay_per_s", what, s.replay_per_s, 1, 100000))
        return b;
    c.store = s;
    return std::nullopt;
}

// After [mqtt], whose broker it shares.
std::optional<Bad> read_sparkplug(const toml::table &root, Config &c)
{
    std::optional<Bad> bad;
    const toml::table *t =
        optional_section(root, "sparkplug", {"group_id", "edge_node_id", "primary_host_id", "state_file"}, bad);
    if (!t)
        return bad;
    const std::string what = "[sparkplug]";
    if (!c.mqtt)
        return Bad{what + ": needs [mqtt] with its broker", t->source().begin};
    SparkplugConfig s;
    s.edge_node_id = c.id;
    for (auto [key, out, required] :
         {std::tuple{"group_id", &s.group_id, true}, std::tuple{"edge_node_id", &s.edge_node_id, false},
          std::tuple{"primary_host_id", &s.primary_host_id, false}, std::tuple{"state_file", &s.state_file, false}}) {
        if (auto b = get_string(*t, key, what, *out, required))
            return b;
        // Parts of topics: no '/', '+' or '#'.
        if (std::string_view(key) != "state_file" && !out->empty() && !valid_name(*out))
            return Bad{what + ": " + key + " must be letters, digits, '-' and '_'", t->get(key)->source().begin};
    }
    c.sparkplug = s;
    return std::nullopt;
}

std::optional<Bad> read_module(const toml::table &t, ModuleConfig &m)
{
    std::string what = "module";
    if (auto b = get_string(t, "name", what, m.name, true))
        return b;
    if (!valid_name(m.name))
        return Bad{"module \"" + m.name + "\": name must be letters, digits, '-' and '_'",
                   t.get("name")->source().begin};
    what = "module \"" + m.name + "\"";
    if (auto b = unknown_keys(t, what,
                              {"name", "model", "address", "interval_ms", "timeout_ms", "modbus_port",
                               "config_port", "connect_timeout_ms", "offline_after", "commands", "pipeline", "publish",
                               "deadband", "heartbeat_s", "settings"}))
        return b;
    if (auto b = get_int(t, "model", what, m.model, 7301, 7303, true))
        return b;
    m.traits = kiv::find_model(m.model);
    if (!m.traits)
        return Bad{what + ": model must be 7301, 7302 or 7303", t.get("model")->source().begin};
    if (auto b = get_string(t, "address", what, m.address, true))
        return b;
    if (m.address.empty())
        return Bad{what + ": address is empty", t.get("address")->source().begin};
    if (auto b = get_int(t, "interval_ms", what, m.interval_ms, 10, 86400000))
        return b;
    if (auto b = get_int(t, "timeout_ms", what, m.timeout_ms, 1, 60000))
        return b;
    if (auto b = get_int(t, "modbus_port", what, m.modbus_port, 1, 65535))
        return b;
    if (auto b = get_int(t, "config_port", what, m.config_port, 1, 65535))
        return b;
    if (auto b = get_int(t, "connect_timeout_ms", what, m.connect_timeout_ms, 1, 60000))
        return b;
    if (auto b = get_int(t, "offline_after", what, m.offline_after, 1, 1000))
        return b;
    if (auto b = get_bool(t, "commands", what, m.commands))
        return b;
    if (auto b = get_bool(t, "pipeline", what, m.pipeline))
        return b;
    if (auto b = get_publish(t, what, m.publish))
        return b;
    // Read whatever publish says: Sparkplug's reports by exception use it too.
    if (auto b = get_non_negative(t, "deadband", what, m.deadband))
        return b;
    if (auto b = get_int(t, "heartbeat_s", what, m.heartbeat_s, 1, 86400))
        return b;
    if (auto b = read_settings(t, what, m))
        return b;
    return std::nullopt;
}

std::optional<Bad> read_modules(const toml::table &root, Config &c)
{
    const toml::node *node = root.get("module");
    const toml::array *list = node ? node->as_array() : nullptr;
    if (!list || list->empty())
        return Bad{"no [[module]]: nothing to poll", node ? node->source().begin : toml::source_position{}};
    std::set<std::string> names;
    for (const toml::node &n : *list) {
        const toml::table *t = n.as_table();
        if (!t)
            return Bad{"module must be a table ([[module]])", n.source().begin};
        ModuleConfig m;
        if (auto b = read_module(*t, m))
            return b;
        if (!names.insert(m.name).second)
            return Bad{"module \"" + m.name + "\": the name is taken by an earlier module",
                       t->get("name")->source().begin};
        c.modules.push_back(m);
    }
    return std::nullopt;
}

} // namespace

std::string PrometheusConfig::listen() const
{
    return listen_text(host, port);
}

std::string WebConfig::listen() const
{
    return listen_text(host, port);
}

std::string listen_text(const std::string &host, int port)
{
    const bool v6 = host.find(':') != std::string::npos;
    std::string s = v6 ? "[" : "";
    s += host;
    s += v6 ? "]:" : ":";
    s += std::to_string(port);
    return s;
}

bool valid_name(const std::string &s)
{
    if (s.empty() || s.size() > 64)
        return false;
    for (char ch : s) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '-' || ch == '_';
        if (!ok)
            return false;
    }
    return true;
}

std::optional<Config> load_config(const std::string &path, std::string &error)
{
    std::string text;
    if (!read_small_file(path, text, error))
        return std::nullopt;
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error &e) {
        error = located(path, e.source().begin.line, std::string(e.description()));
        return std::nullopt;
    }
    Config c;
    if (auto b = unknown_keys(root, "top level", {"gateway", "mqtt", "sparkplug", "prometheus", "web", "store", "module"})) {
        error = located(path, *b);
        return std::nullopt;
    }
    for (auto read : {read_gateway, read_mqtt, read_sparkplug, read_prometheus, read_web, read_store, read_modules}) {
        if (auto b = read(root, c)) {
            error = located(path, *b);
            return std::nullopt;
        }
    }
    return c;
}

} // namespace gateway
