// The registry as Prometheus' text exposition format 0.0.4: per family a
// HELP and a TYPE line, then its samples, module by module in the order of
// the configuration. Values keep the module's digits, as the values payload
// does: 12.50 stays 12.50.
#include "metrics.h"

#include "kiv.hpp"

#include <charconv>

namespace gateway {

namespace {

// Label values: module names need no escaping (letters, digits, '-', '_'),
// result names might one day.
void label_value(std::string &out, const std::string &v)
{
    out += '"';
    for (char ch : v) {
        if (ch == '\\' || ch == '"')
            out += '\\';
        if (ch == '\n') {
            out += "\\n";
            continue;
        }
        out += ch;
    }
    out += '"';
}

void number(std::string &out, double v)
{
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void number(std::string &out, std::uint64_t v)
{
    out += std::to_string(v);
}

std::string result_label(int code)
{
    return code == 0 ? std::string("OK") : kiv::result_name(code);
}

struct Module {
    const std::string &name;
    ModuleFigures f;
};

// The exposition's text as it is written: families, then their samples.
class ExpositionText {
public:
    void family(const char *name, const char *type, const char *help)
    {
        s_ += "# HELP ";
        s_ += name;
        s_ += ' ';
        s_ += help;
        s_ += "\n# TYPE ";
        s_ += name;
        s_ += ' ';
        s_ += type;
        s_ += '\n';
    }
    // name{module="m"[,key="value"]} -- the value follows.
    ExpositionText &sample(const char *name, const std::string &module, const char *key = nullptr,
                   const std::string &value = {})
    {
        s_ += name;
        s_ += "{module=";
        label_value(s_, module);
        if (key) {
            s_ += ',';
            s_ += key;
            s_ += '=';
            label_value(s_, value);
        }
        s_ += "} ";
        return *this;
    }
    template <class T> void value(T v)
    {
        number(s_, v);
        s_ += '\n';
    }
    void text(const std::string &v)
    {
        s_ += v;
        s_ += '\n';
    }
    std::string &out() { return s_; }

private:
    std::string s_;
};

void by_result(ExpositionText &w, const char *name, const std::string &module,
               const std::map<int, std::uint64_t> &counts, std::uint64_t ok = 0)
{
    if (ok)
        w.sample(name, module, "result", "OK").value(ok);
    for (const auto &[code, n] : counts)
        w.sample(name, module, "result", result_label(code)).value(n);
}

void histogram(ExpositionText &w, const Module &m)
{
    std::uint64_t below = 0;
    for (std::size_t i = 0; i < m.f.buckets.size(); ++i) {
        below += m.f.buckets[i];
        std::string le;
        number(le, ModuleFigures::bounds[i]);
        w.sample("kiv_exchange_duration_seconds_bucket", m.name, "le", le).value(below);
    }
    w.sample("kiv_exchange_duration_seconds_bucket", m.name, "le", "+Inf").value(m.f.duration_count);
    w.sample("kiv_exchange_duration_seconds_sum", m.name)
        .value(std::chrono::duration<double>(m.f.duration_sum).count());
    w.sample("kiv_exchange_duration_seconds_count", m.name).value(m.f.duration_count);
}

// One gauge per channel of the last good poll, channels numbered from 1.
template <class ChannelsOfImage, class WriteValue>
void channels(ExpositionText &w, const std::vector<Module> &modules, const char *name, const char *help,
              ChannelsOfImage of, WriteValue value)
{
    w.family(name, "gauge", help);
    for (const Module &m : modules) {
        if (!m.f.polled_well)
            continue;
        const auto &list = of(m.f.image);
        for (std::size_t i = 0; i < list.size(); ++i)
            value(w.sample(name, m.name, "channel", std::to_string(i + 1)), list[i]);
    }
}

void values(ExpositionText &w, const std::vector<Module> &modules)
{
    const auto reading = [](const kiv::reading &r) { return r.text(); };
    channels(w, modules, "kiv_ai_value", "AI channel value of the last good poll, in the range's unit (7301).",
             [](const ProcessImage &p) -> const auto & { return p.ai; },
             [&](ExpositionText &s, const kiv::ai_channel &a) { s.text(reading(a.value)); });
    channels(w, modules, "kiv_tc_temperature_celsius",
             "Thermocouple temperature of the last good poll (7303).",
             [](const ProcessImage &p) -> const auto & { return p.tc; },
             [&](ExpositionText &s, const kiv::tc_channel &t) { s.text(reading(t.temperature)); });
    channels(w, modules, "kiv_tc_reference_celsius",
             "Cold-junction reference temperature of the last good poll (7303).",
             [](const ProcessImage &p) -> const auto & { return p.tc; },
             [&](ExpositionText &s, const kiv::tc_channel &t) { s.text(reading(t.reference)); });
    const auto on = [](ExpositionText &s, bool v) { s.value(std::uint64_t{v}); };
    channels(w, modules, "kiv_di_on", "Digital input of the last good poll, 1 on (7302, 7303).",
             [](const ProcessImage &p) -> const auto & { return p.di; }, on);
    channels(w, modules, "kiv_do_on", "Digital output of the last good poll, 1 on.",
             [](const ProcessImage &p) -> const auto & { return p.outputs; }, on);
}

} // namespace

std::string Metrics::render() const
{
    // Each module's figures copied at once, so that its families agree.
    std::vector<Module> modules;
    {
        std::lock_guard lock(table_mu_);
        modules.reserve(modules_.size());
        for (const auto &m : modules_)
            if (m)
                modules.push_back({m->name(), m->figures()});
    }

    ExpositionText w;
    w.family("kiv_module_up", "gauge", "1 when the module's last poll succeeded, 0 otherwise.");
    for (const Module &m : modules)
        w.sample("kiv_module_up", m.name).value(std::uint64_t{m.f.up});

    w.family("kiv_last_good_poll_timestamp_seconds", "gauge",
             "Unix time of the module's last successful poll (when its first reply came).");
    for (const Module &m : modules)
        if (m.f.polled_well)
            w.sample("kiv_last_good_poll_timestamp_seconds", m.name)
                .value(std::chrono::duration<double>(m.f.image.time.time_since_epoch()).count());

    w.family("kiv_polls_total", "counter", "Polls of the module by outcome: ok, or failed at an exchange or connect.");
    for (const Module &m : modules) {
        w.sample("kiv_polls_total", m.name, "outcome", "ok").value(m.f.polls_ok);
        w.sample("kiv_polls_total", m.name, "outcome", "failed").value(m.f.polls_failed);
    }

    w.family("kiv_exchanges_total", "counter",
             "Modbus exchanges with the module by result: OK or the result's name, e.g. KIV_ERR_TIMEOUT.");
    for (const Module &m : modules)
        by_result(w, "kiv_exchanges_total", m.name, m.f.exchanges_failed, m.f.exchanges_ok);

    w.family("kiv_exchange_duration_seconds", "histogram",
             "Duration of the Modbus exchanges with the module, request to reply or timeout.");
    for (const Module &m : modules)
        histogram(w, m);

    w.family("kiv_connects_total", "counter",
             "Connect attempts to the module by result: OK or the result's name, e.g. ECONNREFUSED.");
    for (const Module &m : modules)
        by_result(w, "kiv_connects_total", m.name, m.f.connects);

    w.family("kiv_reconnects_total", "counter", "Connections to the module opened after the first.");
    for (const Module &m : modules)
        w.sample("kiv_reconnects_total", m.name).value(m.f.reconnects);

    values(w, modules);

    if (const int broker = broker_.load(std::memory_order_relaxed); broker >= 0) {
        w.family("kiv_broker_connected", "gauge", "1 while the gateway is connected to its MQTT broker.");
        w.out() += "kiv_broker_connected ";
        w.value(static_cast<std::uint64_t>(broker));
        w.family("kiv_values_dropped_total", "counter",
                 "Messages for the broker that were not delivered, by reason: queue_full (queue_limit "
                 "reached, the oldest went), disconnected (QoS 0, lost with the connection), stopped "
                 "(held when the gateway stopped).");
        std::array<std::uint64_t, drop_reasons> dropped;
        std::optional<StoreFigures> store;
        {
            std::lock_guard lock(dropped_mu_);
            dropped = dropped_;
            store = store_;
        }
        if (store) {
            w.family("kiv_store_messages", "gauge", "Values messages in the store: not yet taken by the broker.");
            w.out() += "kiv_store_messages ";
            w.value(store->messages);
            w.family("kiv_store_bytes", "gauge", "Bytes of the store's pages in use.");
            w.out() += "kiv_store_bytes ";
            w.value(store->bytes);
            w.family("kiv_store_oldest_age_seconds", "gauge", "Age of the oldest message in the store; 0 when empty.");
            w.out() += "kiv_store_oldest_age_seconds ";
            w.value(store->oldest_age_s);
            w.family("kiv_store_dropped_total", "counter",
                     "Messages the store did not keep, by reason: size (max_mb), age (max_age), error (a write "
                     "that failed; the message went to the broker without the store).");
            for (std::size_t i = 0; i < store_drop_reasons; ++i) {
                w.out() += "kiv_store_dropped_total{reason=\"";
                w.out() += store_drop_name(static_cast<StoreDrop>(i));
                w.out() += "\"} ";
                w.value(store->dropped[i]);
            }
        }
        for (std::size_t i = 0; i < drop_reasons; ++i) {
            w.out() += "kiv_values_dropped_total{reason=\"";
            w.out() += drop_reason_name(static_cast<DropReason>(i));
            w.out() += "\"} ";
            w.value(dropped[i]);
        }
    }
    return std::move(w.out());
}

} // namespace gateway
