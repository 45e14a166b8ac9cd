#include "config.h"

#include "small_file.h"

#include "common/text.h"

#include <toml++/toml.h>

#include <arpa/inet.h>

#include <cmath>
#include <set>
#include <tuple>

namespace gateway {

namespace {

// A refused entry of the file, thrown by the readers below and given its
// file by load_config: the readers see only the parsed table.
struct Refusal {
    std::string reason;
    std::size_t line = 0;  // 0: no line is known
};

[[noreturn]] void refuse(std::string reason, const toml::source_position &where)
{
    throw Refusal{std::move(reason), where.line};
}

// Keys that a table may hold: a misspelt key is an error, not a default.
void unknown_keys(const toml::table &t, const std::string &what,
                                std::initializer_list<std::string_view> allowed)
{
    for (auto &&[key, node] : t) {
        bool known = false;
        for (auto a : allowed)
            known = known || key.str() == a;
        if (!known)
            refuse(what + ": unknown key \"" + std::string(key.str()) + "\"", key.source().begin);
    }
}

// A section that the file may leave out: null when it does. Refused when
// it is not a table or holds a key not among allowed.
const toml::table *optional_section(const toml::table &root, const std::string &name,
                                    std::initializer_list<std::string_view> allowed)
{
    const toml::node *node = root.get(name);
    if (!node)
        return nullptr;
    const toml::table *t = node->as_table();
    if (!t)
        refuse("[" + name + "] must be a table", node->source().begin);
    unknown_keys(*t, "[" + name + "]", allowed);
    return t;
}

void get_string(const toml::table &t, std::string_view key, const std::string &what,
                              std::string &out, bool required)
{
    const toml::node *n = t.get(key);
    if (!n) {
        if (required)
            refuse(what + ": " + std::string(key) + " is missing", t.source().begin);
        return;
    }
    if (!n->is_string())
        refuse(what + ": " + std::string(key) + " must be a string", n->source().begin);
    out = n->as_string()->get();
}

void get_int(const toml::table &t, std::string_view key, const std::string &what,
                           int &out, long low, long high, bool required = false)
{
    const toml::node *n = t.get(key);
    if (!n) {
        if (required)
            refuse(what + ": " + std::string(key) + " is missing", t.source().begin);
        return;
    }
    if (!n->is_integer())
        refuse(what + ": " + std::string(key) + " must be an integer", n->source().begin);
    const auto v = n->as_integer()->get();
    if (v < low || v > high)
        refuse(what + ": " + std::string(key) + " must be " + std::to_string(low) + ".." +
                       std::to_string(high) + ", not " + std::to_string(v),
                   n->source().begin);
    out = static_cast<int>(v);
}

void get_bool(const toml::table &t, std::string_view key, const std::string &what, bool &out)
{
    const toml::node *n = t.get(key);
    if (!n)
        return;
    if (!n->is_boolean())
        refuse(what + ": " + std::string(key) + " must be true or false", n->source().begin);
    out = n->as_boolean()->get();
}

// A number at least 0: TOML's 1 and 1.0 alike, neither inf nor nan.
void get_non_negative(const toml::table &t, std::string_view key, const std::string &what,
                                    double &out)
{
    const toml::node *n = t.get(key);
    if (!n)
        return;
    const auto v = n->value<double>();
    if ((!n->is_integer() && !n->is_floating_point()) || !v)
        refuse(what + ": " + std::string(key) + " must be a number", n->source().begin);
    if (!std::isfinite(*v) || *v < 0)
        refuse(what + ": " + std::string(key) + " must be a finite number >= 0", n->source().begin);
    out = *v;
}

void get_publish(const toml::table &t, const std::string &what, Publish &out)
{
    std::string word;
    get_string(t, "publish", what, word, false);
    if (!t.get("publish"))
        return;
    if (word != "every_poll" && word != "change")
        refuse(what + ": publish must be \"every_poll\" or \"change\", not \"" + word + "\"",
                   t.get("publish")->source().begin);
    out = word == "change" ? Publish::change : Publish::every_poll;
}

// "host:port" or "host"; the port defaults to MQTT's 1883. Refused at
// where otherwise.
void split_broker(const std::string &text, const std::string &what, const toml::source_position &where,
                  std::string &host, int &port)
{
    const auto colon = text.rfind(':');
    const std::string h = text.substr(0, colon);
    const std::string p = colon == std::string::npos ? "1883" : text.substr(colon + 1);
    const bool digits = !p.empty() && p.size() <= 5 && p.find_first_not_of("0123456789") == std::string::npos;
    const int n = digits ? std::stoi(p) : 0;
    if (h.empty() || n < 1 || n > 65535)
        refuse(what + ": broker must be host:port, not \"" + text + "\"", where);
    host = h;
    port = n;
}

void read_gateway(const toml::table &root, Config &c)
{
    const toml::table *g = root["gateway"].as_table();
    if (!g)
        refuse("[gateway] with its id is missing", {});
    unknown_keys(*g, "[gateway]", {"id"});
    get_string(*g, "id", "[gateway]", c.id, true);
    if (!valid_name(c.id))
        refuse("[gateway]: id must be letters, digits, '-' and '_'", g->get("id")->source().begin);
}

void read_mqtt(const toml::table &root, Config &c)
{
    const toml::table *t = optional_section(root, "mqtt",
                                            {"broker", "client_id", "username", "password_file", "ca_file", "qos",
                                             "keepalive_s", "queue_limit", "homeassistant", "discovery_prefix", "json"});
    if (!t)
        return;
    const std::string what = "[mqtt]";
    MqttConfig m;
    std::string broker;
    get_string(*t, "broker", what, broker, true);
    split_broker(broker, what, t->get("broker")->source().begin, m.host, m.port);
    for (auto [key, out] : {std::pair{"client_id", &m.client_id}, std::pair{"username", &m.username},
                            std::pair{"password_file", &m.password_file}, std::pair{"ca_file", &m.ca_file}})
        get_string(*t, key, what, *out, false);
    if (m.client_id.empty())
        m.client_id = "kiv-gateway-" + c.id;
    int limit = static_cast<int>(m.queue_limit);
    get_int(*t, "qos", what, m.qos, 0, 2);
    get_int(*t, "keepalive_s", what, m.keepalive_s, 5, 3600);
    get_int(*t, "queue_limit", what, limit, 0, 1000000);
    m.queue_limit = static_cast<std::size_t>(limit);
    get_bool(*t, "homeassistant", what, m.homeassistant);
    get_bool(*t, "json", what, m.json);
    get_string(*t, "discovery_prefix", what, m.discovery_prefix, false);
    if (m.discovery_prefix.empty() || m.discovery_prefix.find_first_of("+#") != std::string::npos)
        refuse(what + ": discovery_prefix must be a topic without wildcards",
                   t->get("discovery_prefix")->source().begin);
    c.mqtt = m;
}

// A list of channel numbers 1..count as a mask, bit n-1 for channel n.
void get_channels(const toml::table &t, std::string_view key, const std::string &what, int count,
                                std::optional<unsigned> &out)
{
    const toml::node *n = t.get(key);
    if (!n)
        return;
    const toml::array *list = n->as_array();
    const std::string k(key);
    if (!list)
        refuse(what + ": " + k + " must be a list of channel numbers", n->source().begin);
    unsigned mask = 0;
    for (const toml::node &e : *list) {
        const auto v = e.value<std::int64_t>();
        if (!e.is_integer() || !v || *v < 1 || *v > count)
            refuse(what + ": " + k + " takes channels 1.." + std::to_string(count), e.source().begin);
        mask |= 1u << (*v - 1);
    }
    out = mask;
}

// Range codes 0..10 or their labels ("0~10V"), for channels 1..n.
void get_ranges(const toml::table &t, const std::string &what, std::vector<std::uint8_t> &out)
{
    const toml::node *n = t.get("ai_range");
    if (!n)
        return;
    const toml::array *list = n->as_array();
    if (!list || list->empty() || list->size() > 8)
        refuse(what + ": ai_range must list the ranges of channels 1..n (n up to 8)", n->source().begin);
    for (const toml::node &e : *list) {
        std::optional<std::uint8_t> code;
        if (auto v = e.value<std::int64_t>(); e.is_integer() && v && *v >= 0 && *v < kiv::range_count)
            code = static_cast<std::uint8_t>(*v);
        else if (e.is_string())
            code = kiv::range_from_label(e.as_string()->get());
        if (!code)
            refuse(what + ": ai_range takes codes 0..10 or labels such as \"0~10V\"", e.source().begin);
        out.push_back(*code);
    }
}

void read_settings(const toml::table &module, const std::string &who, ModuleConfig &m)
{
    const toml::node *node = module.get("settings");
    if (!node)
        return;
    const toml::table *t = node->as_table();
    const std::string what = who + " settings";
    if (!t)
        refuse(what + " must be a table ([module.settings])", node->source().begin);
    if (const toml::node *pw = t->get("password"))
        refuse(what + ": a password never stands in this file: password_file or password_env",
                   pw->source().begin);
    unknown_keys(*t, what,
                 {"ai_enable", "ai_range", "tc_enable", "do_power_on", "save", "password_file",
                  "password_env"});
    DeclaredSettings d;
    // Each setting exists where the model has its channels.
    const kiv::model_info &has = *m.traits;
    for (auto [key, count] : {std::pair{"ai_enable", has.ai}, std::pair{"ai_range", has.ai},
                              std::pair{"tc_enable", has.tc}})
        if (const toml::node *n = t->get(key); n && count == 0)
            refuse(what + ": the " + has.name + " has no " + key, n->source().begin);
    get_channels(*t, "ai_enable", what, has.ai, d.ai_enable);
    get_ranges(*t, what, d.ai_range);
    get_channels(*t, "tc_enable", what, has.tc, d.tc_enable);
    get_channels(*t, "do_power_on", what, has.outputs, d.do_power_on);
    get_bool(*t, "save", what, d.save);
    get_string(*t, "password_file", what, d.password_file, false);
    get_string(*t, "password_env", what, d.password_env, false);
    m.settings = d;
}

// "ADDRESS:PORT" with an IPv4 address or a bracketed IPv6 one. Addresses
// only: a name would be looked up at every start, and the address to listen
// on is one of this host's own. Refused at where otherwise.
void split_listen(const std::string &text, const std::string &what, const toml::source_position &where,
                  std::string &host, int &port)
{
    const std::string form = what + ": listen must be ADDRESS:PORT (IPv4, or IPv6 in brackets), not \"" + text + "\"";
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        refuse(form, where);
    std::string h = text.substr(0, colon);
    const bool bracketed = h.front() == '[';
    if (bracketed != (h.back() == ']'))
        refuse(form, where);
    unsigned char buf[16];
    if (bracketed)
        h = h.substr(1, h.size() - 2);
    if (::inet_pton(bracketed ? AF_INET6 : AF_INET, h.c_str(), buf) != 1)
        refuse(form, where);
    const std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        refuse(form, where);
    const int n = std::stoi(p);
    if (n < 1 || n > 65535) {
        std::string why = what;
        why += ": listen port must be 1..65535, not ";
        why += p;
        refuse(why, where);
    }
    host = h;
    port = n;
}

void read_prometheus(const toml::table &root, Config &c)
{
    const toml::table *t = optional_section(root, "prometheus", {"listen"});
    if (!t)
        return;
    const std::string what = "[prometheus]";
    PrometheusConfig p;
    std::string listen;
    get_string(*t, "listen", what, listen, false);
    if (!listen.empty() || t->get("listen"))
        split_listen(listen, what, t->get("listen")->source().begin, p.host, p.port);
    c.prometheus = p;
}

void read_web(const toml::table &root, Config &c)
{
    const toml::table *t = optional_section(root, "web", {"listen", "token_file"});
    if (!t)
        return;
    const std::string what = "[web]";
    WebConfig w;
    std::string listen;
    get_string(*t, "listen", what, listen, false);
    if (!listen.empty() || t->get("listen"))
        split_listen(listen, what, t->get("listen")->source().begin, w.host, w.port);
    get_string(*t, "token_file", what, w.token_file, false);
    c.web = w;
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

void read_store(const toml::table &root, Config &c)
{
    const toml::table *t = optional_section(root, "store", {"path", "max_mb", "max_age", "replay_per_s"});
    if (!t)
        return;
    const std::string what = "[store]";
    StoreConfig s;
    get_string(*t, "path", what, s.path, true);
    int mb = static_cast<int>(s.max_bytes >> 20);
    get_int(*t, "max_mb", what, mb, 1, 1024 * 1024);
    s.max_bytes = static_cast<std::uint64_t>(mb) << 20;
    std::string age;
    get_string(*t, "max_age", what, age, false);
    if (!age.empty() && !parse_age(age, s.max_age))
        refuse(what + ": max_age must be a number and s, m, h or d, like \"7d\"", t->get("max_age")->source().begin);
    get_int(*t, "replay_per_s", what, s.replay_per_s, 1, 100000);
    c.store = s;
}

// After [mqtt], whose broker it shares.
void read_sparkplug(const toml::table &root, Config &c)
{
    const toml::table *t =
        optional_section(root, "sparkplug", {"group_id", "edge_node_id", "primary_host_id", "state_file"});
    if (!t)
        return;
    const std::string what = "[sparkplug]";
    if (!c.mqtt)
        refuse(what + ": needs [mqtt] with its broker", t->source().begin);
    SparkplugConfig s;
    s.edge_node_id = c.id;
    for (auto [key, out, required] :
         {std::tuple{"group_id", &s.group_id, true}, std::tuple{"edge_node_id", &s.edge_node_id, false},
          std::tuple{"primary_host_id", &s.primary_host_id, false}, std::tuple{"state_file", &s.state_file, false}}) {
        get_string(*t, key, what, *out, required);
        // Parts of topics: no '/', '+' or '#'.
        if (std::string_view(key) != "state_file" && !out->empty() && !valid_name(*out))
            refuse(what + ": " + key + " must be letters, digits, '-' and '_'", t->get(key)->source().begin);
    }
    c.sparkplug = s;
}

void read_module(const toml::table &t, ModuleConfig &m)
{
    std::string what = "module";
    get_string(t, "name", what, m.name, true);
    if (!valid_name(m.name))
        refuse("module \"" + m.name + "\": name must be letters, digits, '-' and '_'",
                   t.get("name")->source().begin);
    what = "module \"" + m.name + "\"";
    unknown_keys(t, what,
                 {"name", "model", "address", "interval_ms", "timeout_ms", "modbus_port",
                  "config_port", "connect_timeout_ms", "offline_after", "commands", "pipeline", "publish",
                  "deadband", "heartbeat_s", "settings"});
    get_int(t, "model", what, m.model, 7301, 7303, true);
    m.traits = kiv::find_model(m.model);
    if (!m.traits)
        refuse(what + ": model must be 7301, 7302 or 7303", t.get("model")->source().begin);
    get_string(t, "address", what, m.address, true);
    if (m.address.empty())
        refuse(what + ": address is empty", t.get("address")->source().begin);
    get_int(t, "interval_ms", what, m.interval_ms, 10, 86400000);
    get_int(t, "timeout_ms", what, m.timeout_ms, 1, 60000);
    get_int(t, "modbus_port", what, m.modbus_port, 1, 65535);
    get_int(t, "config_port", what, m.config_port, 1, 65535);
    get_int(t, "connect_timeout_ms", what, m.connect_timeout_ms, 1, 60000);
    get_int(t, "offline_after", what, m.offline_after, 1, 1000);
    get_bool(t, "commands", what, m.commands);
    get_bool(t, "pipeline", what, m.pipeline);
    get_publish(t, what, m.publish);
    // Read whatever publish says: Sparkplug's reports by exception use it too.
    get_non_negative(t, "deadband", what, m.deadband);
    get_int(t, "heartbeat_s", what, m.heartbeat_s, 1, 86400);
    read_settings(t, what, m);
}

void read_modules(const toml::table &root, Config &c)
{
    const toml::node *node = root.get("module");
    const toml::array *list = node ? node->as_array() : nullptr;
    if (!list || list->empty())
        refuse("no [[module]]: nothing to poll", node ? node->source().begin : toml::source_position{});
    std::set<std::string> names;
    for (const toml::node &n : *list) {
        const toml::table *t = n.as_table();
        if (!t)
            refuse("module must be a table ([[module]])", n.source().begin);
        ModuleConfig m;
        read_module(*t, m);
        if (!names.insert(m.name).second)
            refuse("module \"" + m.name + "\": the name is taken by an earlier module",
                       t->get("name")->source().begin);
        c.modules.push_back(m);
    }
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

Config load_config(const std::string &path)
{
    auto text = read_small_file(path);
    if (!text)
        throw ConfigError(text.why().answer);
    try {
        const toml::table root = toml::parse(*text, path);
        Config c;
        unknown_keys(root, "top level", {"gateway", "mqtt", "sparkplug", "prometheus", "web", "store", "module"});
        for (auto read : {read_gateway, read_mqtt, read_sparkplug, read_prometheus, read_web, read_store, read_modules})
            read(root, c);
        return c;
    } catch (const toml::parse_error &e) {
        throw ConfigError(path, e.source().begin.line, std::string(e.description()));
    } catch (const Refusal &r) {
        throw ConfigError(path, r.line, r.reason);
    }
}

namespace {

// "FILE:LINE: reason", or "FILE: reason" when no line is known.
std::string file_line_reason(const std::string &file, std::size_t line, const std::string &reason)
{
    const std::string at = line ? common::concat({":", std::to_string(line)}) : std::string();
    return common::concat({file, at, ": ", reason});
}

} // namespace

ConfigError::ConfigError(const std::string &file, std::size_t line, const std::string &reason, Refused what)
    : ConfigError(file_line_reason(file, line, reason), what)
{
}

ConfigError::ConfigError(const std::string &file, const std::string &reason, Refused what)
    : ConfigError(file, 0, reason, what)
{
}

ConfigError::ConfigError(const std::string &message, Refused what) : std::runtime_error(message), refused_(what) {}

} // namespace gateway
