// Process data over Modbus/TCP: the AI and TC channels decoded, the digital
// inputs, the outputs read and switched, the sensor block.
#include "args.h"
#include "command.h"

#include <array>
#include <cstdio>

namespace kivtool {

namespace {

std::uint8_t u8(int v)
{
    return static_cast<std::uint8_t>(v);
}

// "TC channel 2", "TC channels 1..3".
std::string channels_text(const char *group, const Window &w)
{
    return std::string(group) + (w.count == 1 ? " channel " + std::to_string(w.first)
                                              : " channels " + std::to_string(w.first) + ".." +
                                                    std::to_string(w.last()));
}

const char *yes_no(bool b)
{
    return b ? "yes" : "no";
}

const char *on_off(bool b)
{
    return b ? "on" : "off";
}

JsonObject window_json(const Window &w)
{
    JsonObject j;
    j.num("first", w.first).num("count", w.count);
    return j;
}

// A reply that holds fewer whole records than were asked for: the records
// that did not come cannot be shown.
bool whole(Connections &l, Outcome &out, const char *call, const std::string &doing, std::size_t got,
           int wanted)
{
    if (got >= static_cast<std::size_t>(wanted))
        return true;
    // The rest of such a reply may still come: the next exchange starts on
    // a fresh connection.
    l.modbus.disconnect();
    kiv::result<void> short_reply = kiv::errc::response;
    out.check(l, call,
              doing + " (the reply held " + std::to_string(got) + " of " + std::to_string(wanted) +
                  " records)",
              short_reply);
    return false;
}

// A set of on/off channels as a table and as JSON.
void states(Outcome &out, const Window &w, unsigned mask, const char *column)
{
    Table t({"channel", column});
    std::vector<std::string> items;
    for (int i = 0; i < w.count; ++i) {
        bool on = (mask >> i) & 1;
        t.row({std::to_string(w.first + i), on_off(on)});
        JsonObject c;
        c.num("channel", w.first + i).flag("on", on);
        items.push_back(c.text());
    }
    out.table = std::move(t);
    out.json.merge(window_json(w)).num("mask", mask).raw("channels", json_array(items));
}

bool has_ai(const ModelInfo &m)
{
    return m.ai > 0;
}
bool has_tc(const ModelInfo &m)
{
    return m.tc > 0;
}
bool has_di(const ModelInfo &m)
{
    return m.di > 0;
}
bool has_outputs(const ModelInfo &m)
{
    return m.outputs > 0;
}
bool has_sensors(const ModelInfo &m)
{
    return m.sensors;
}

Prepared ai(const Options &o, const ModelInfo &m)
{
    Window w;
    if (auto e = parse_window(o.args, 0, m.ai, "AI", m, w); !e.empty())
        return {{}, e};
    return {[w](Connections &l, Outcome &out) {
                const std::string doing = "read " + channels_text("AI", w);
                auto raw = l.modbus.run([&](const kiv::connection &c) {
                    return kiv::zrm7301(l.options.timeout_ms).read_ai_raw(c, u8(w.first), u8(w.count));
                });
                if (!out.check(l, "KIV_ZRM_7301_AI_Read", doing, raw))
                    return;
                trace_line(l.options.verbose, "reply data: " + hex_bytes(*raw));
                auto channels = kiv::decode_ai_records(*raw);
                if (!whole(l, out, "KIV_ZRM_7301_AI_Read", doing, channels.size(), w.count))
                    return;
                channels.resize(static_cast<std::size_t>(w.count));
                Table t({"channel", "enabled", "value"});
                std::vector<std::string> items;
                for (std::size_t i = 0; i < channels.size(); ++i) {
                    const auto &c = channels[i];
                    const int n = w.first + static_cast<int>(i);
                    t.row({std::to_string(n), yes_no(c.enabled), c.value.text()});
                    JsonObject j;
                    j.num("channel", n).flag("enabled", c.enabled).raw("value", c.value.text())
                        .str("text", c.value.text());
                    items.push_back(j.text());
                }
                out.table = std::move(t);
                out.json.merge(window_json(w)).raw("channels", json_array(items));
            },
            {}};
}

Prepared tc(const Options &o, const ModelInfo &m)
{
    Window w;
    if (auto e = parse_window(o.args, 0, m.tc, "TC", m, w); !e.empty())
        return {{}, e};
    return {[w](Connections &l, Outcome &out) {
                const std::string doing = "read " + channels_text("TC", w);
                auto raw = l.modbus.run([&](const kiv::connection &c) {
                    return kiv::zrm7303(l.options.timeout_ms).read_tc_raw(c, u8(w.first), u8(w.count));
                });
                if (!out.check(l, "KIV_ZRM_7303_TC_Read", doing, raw))
                    return;
                trace_line(l.options.verbose, "reply data: " + hex_bytes(*raw));
                auto channels = kiv::decode_tc_records(*raw);
                if (!whole(l, out, "KIV_ZRM_7303_TC_Read", doing, channels.size(), w.count))
                    return;
                channels.resize(static_cast<std::size_t>(w.count));
                Table t({"channel", "enabled", "temperature", "reference", "faults"});
                std::vector<std::string> items;
                for (std::size_t i = 0; i < channels.size(); ++i) {
                    const auto &c = channels[i];
                    const int n = w.first + static_cast<int>(i);
                    std::string faults;
                    std::vector<std::string> keys;
                    for (const auto &f : kiv::tc_faults) {
                        if (!(c.faults & f.bit))
                            continue;
                        faults += (faults.empty() ? "" : ", ") + std::string(f.name);
                        keys.push_back(json_string(f.key));
                    }
                    t.row({std::to_string(n), yes_no(c.enabled), c.temperature.text(),
                           c.reference.text(), faults.empty() ? "-" : faults});
                    JsonObject j;
                    j.num("channel", n)
                        .flag("enabled", c.enabled)
                        .raw("temperature", c.temperature.text())
                        .str("temperature_text", c.temperature.text())
                        .raw("reference", c.reference.text())
                        .str("reference_text", c.reference.text())
                        .raw("faults", json_array(keys));
                    items.push_back(j.text());
                }
                out.table = std::move(t);
                out.json.merge(window_json(w)).raw("channels", json_array(items));
            },
            {}};
}

Prepared di(const Options &o, const ModelInfo &m)
{
    Window w;
    if (auto e = parse_window(o.args, 0, m.di, "DI", m, w); !e.empty())
        return {{}, e};
    return {[w](Connections &l, Outcome &out) {
                const std::string doing = "read " + channels_text("DI", w);
                const bool z2 = l.model.model == Model::zrm7302;
                auto r = l.modbus.run([&](const kiv::connection &c) {
                    return z2 ? kiv::zrm7302(l.options.timeout_ms).read_di(c, u8(w.first), u8(w.count))
                              : kiv::zrm7303(l.options.timeout_ms).read_di(c, u8(w.first), u8(w.count));
                });
                if (!out.check(l, z2 ? "KIV_ZRM_7302_DI_Read" : "KIV_ZRM_7303_DI_Read", doing, r))
                    return;
                unsigned mask = *r & ((1u << w.count) - 1);
                states(out, w, mask, "state");
            },
            {}};
}

// The outputs are coils 0.. on every model, output n at n-1. The model
// entry points drop a Modbus exception's code; the generic calls hand it on.
kiv::result<std::uint8_t> read_outputs(Connections &l, const Window &w, const char *&call)
{
    call = "KIV_DO_Read";
    return l.modbus.run([&](const kiv::connection &c) -> kiv::result<std::uint8_t> {
        std::array<unsigned char, 8> buf{};
        int len = 0;
        const int rc = KIV_DO_Read(c.handle(), l.options.timeout_ms, w.first - 1, w.count, buf.data(),
                                   static_cast<int>(buf.size()), &len);
        if (rc != KIV_OK)
            return kiv::failure{kiv::to_error_code(rc), rc == KIV_ERR_EXCEPTION ? buf[0] : u8(0), {}};
        if (len < 1)
            return kiv::errc::response;
        return static_cast<std::uint8_t>(buf[0] & ((1u << w.count) - 1));
    });
}

Prepared do_read(const Options &o, const ModelInfo &m)
{
    Window w;
    if (auto e = parse_window(o.args, 0, m.outputs, "DO", m, w); !e.empty())
        return {{}, e};
    return {[w](Connections &l, Outcome &out) {
                const char *call = "";
                auto r = read_outputs(l, w, call);
                if (!out.check(l, call, "read " + channels_text("DO", w), r))
                    return;
                states(out, w, *r, "state");
            },
            {}};
}

// Writes mask to outputs w: one channel switches by bit 0.
kiv::result<void> write_outputs(Connections &l, const Window &w, unsigned mask, const char *&call)
{
    call = "KIV_DO_Write";
    return l.modbus.run([&](const kiv::connection &c) -> kiv::result<void> {
        // A single coil is on for exactly 1.
        unsigned char data = w.count == 1 ? u8(mask & 1) : u8(static_cast<int>(mask));
        const int rc = KIV_DO_Write(c.handle(), l.options.timeout_ms, w.first - 1, w.count, &data, 1);
        if (rc != KIV_OK)
            return kiv::failure{kiv::to_error_code(rc), rc == KIV_ERR_EXCEPTION ? data : u8(0), {}};
        return {};
    });
}

Action write_action(Window w, unsigned mask)
{
    return [w, mask](Connections &l, Outcome &out) {
        const char *call = "";
        auto r = write_outputs(l, w, mask, call);
        if (!out.check(l, call, "write " + channels_text("DO", w), r))
            return;
        states(out, w, mask, "state");
    };
}

Prepared do_set(const Options &o, const ModelInfo &m)
{
    // A single-output model needs no channel: "do-set on".
    std::vector<std::string> args = o.args;
    if (m.outputs == 1 && args.size() == 1)
        args.insert(args.begin(), "1");
    if (args.size() != 2)
        return {{}, "expected CHANNEL on|off"};
    Window w{1, 1};
    if (auto e = parse_channel(args[0], m.outputs, "DO", m, w.first); !e.empty())
        return {{}, e};
    auto state = parse_state(args[1]);
    if (!state)
        return {{}, "state " + args[1] + ": expected on or off"};
    return {write_action(w, *state ? 1 : 0), {}};
}

Prepared do_mask(const Options &o, const ModelInfo &m)
{
    if (o.args.empty())
        return {{}, "expected MASK [FIRST [COUNT]]"};
    Window w;
    if (auto e = parse_window(o.args, 1, m.outputs, "DO", m, w); !e.empty())
        return {{}, e};
    unsigned mask = 0;
    if (auto e = parse_mask(o.args[0], w.count, mask); !e.empty())
        return {{}, e};
    return {write_action(w, mask), {}};
}

Prepared sensors(const Options &o, const ModelInfo &)
{
    if (auto e = no_more(o.args, 0); !e.empty())
        return {{}, e};
    return {[](Connections &l, Outcome &out) {
                auto raw = l.modbus.run([&](const kiv::connection &c) {
                    return kiv::zrm7302(l.options.timeout_ms).read_sensors_raw(c);
                });
                if (!out.check(l, "KIV_ZRM_7302_Sensor_Read", "read the sensor block", raw))
                    return;
                trace_line(l.options.verbose, "reply data: " + hex_bytes(*raw));
                const std::size_t regs = raw->size() / 2;
                if (!whole(l, out, "KIV_ZRM_7302_Sensor_Read", "read the sensor block", regs,
                           kiv::zrm7302::sensor_registers))
                    return;
                Table t({"register", "value", "hex"});
                std::vector<std::string> items;
                for (std::size_t i = 0; i < regs; ++i) {
                    unsigned v = static_cast<unsigned>((*raw)[2 * i]) << 8 | (*raw)[2 * i + 1];
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "0x%04x", v);
                    t.row({std::to_string(i), std::to_string(v), hex});
                    items.push_back(std::to_string(v));
                }
                out.table = std::move(t);
                out.json.raw("registers", json_array(items));
            },
            {}};
}

} // namespace

std::vector<Command> process_data_commands()
{
    return {
        {"ai", "ai [FIRST [COUNT]]", "read the analog inputs, decoded",
         "Reads AI channels FIRST..FIRST+COUNT-1 (default: all eight) and prints one row\n"
         "per channel: channel, enabled, value. A value reads as the module sends it:\n"
         "sign, integer part, fractional part (12 and 5 read 12.5, 12 and 50 read 12.50).\n"
         "JSON: \"first\", \"count\", \"channels\": [{\"channel\", \"enabled\", \"value\" (a number),\n"
         "\"text\" (as printed)}].\n"
         "Example: kivtool 192.168.1.10 7301 ai 3 2",
         Service::modbus, true, false, has_ai, ai},
        {"tc", "tc [FIRST [COUNT]]", "read the thermocouples, decoded",
         "Reads TC channels FIRST..FIRST+COUNT-1 (default: all three) and prints one row\n"
         "per channel: channel, enabled, temperature, reference, faults (Open, Short to\n"
         "GND, Short to VCC; - for none).\n"
         "JSON: \"first\", \"count\", \"channels\": [{\"channel\", \"enabled\", \"temperature\",\n"
         "\"temperature_text\", \"reference\", \"reference_text\", \"faults\": [\"open\",\n"
         "\"short-gnd\", \"short-vcc\"]}].\n"
         "Example: kivtool 192.168.1.12 7303 tc",
         Service::modbus, true, false, has_tc, tc},
        {"di", "di [FIRST [COUNT]]", "read the digital inputs",
         "Reads DI channels FIRST..FIRST+COUNT-1 (default: all) and prints one row per\n"
         "channel: channel, state (on or off).\n"
         "JSON: \"first\", \"count\", \"mask\" (bit 0 = FIRST), \"channels\": [{\"channel\", \"on\"}].\n"
         "Example: kivtool 192.168.1.11 7302 di 9 8",
         Service::modbus, true, false, has_di, di},
        {"do", "do [FIRST [COUNT]]", "read the digital outputs",
         "Reads DO channels FIRST..FIRST+COUNT-1 (default: all) and prints one row per\n"
         "channel: channel, state (on or off). ZRM-7301 and ZRM-7303 have one output.\n"
         "JSON: as di.\n"
         "Example: kivtool 192.168.1.11 7302 do",
         Service::modbus, true, false, has_outputs, do_read},
        {"do-set", "do-set CHANNEL on|off", "switch one digital output",
         "Switches output CHANNEL on or off (in any case: ON, Off). On ZRM-7301 and\n"
         "ZRM-7303 the channel may be left out: do-set on.\n"
         "JSON: as di, for the channel written.\n"
         "Example: kivtool 192.168.1.11 7302 do-set 2 on",
         Service::modbus, false, false, has_outputs, do_set},
        {"do-mask", "do-mask MASK [FIRST [COUNT]]", "write digital outputs as a mask",
         "Writes outputs FIRST..FIRST+COUNT-1 (default: all) at once: bit i of MASK\n"
         "drives channel FIRST+i. MASK is decimal, 0x hex or 0b binary and must fit\n"
         "COUNT bits.\n"
         "JSON: as di, for the channels written.\n"
         "Example: kivtool 192.168.1.11 7302 do-mask 0x55",
         Service::modbus, false, false, has_outputs, do_mask},
        {"sensors", "sensors", "read the sensor block",
         "Reads the 24 registers of the ZRM-7302 sensor block and prints one row per\n"
         "register: register (0..23), value, hex.\n"
         "JSON: \"registers\": [24 numbers].\n"
         "Example: kivtool 192.168.1.11 7302 sensors",
         Service::modbus, true, false, has_sensors, sensors},
    };
}

} // namespace kivtool
