// Configuration over the configuration service: enable bits, AI ranges,
// the outputs' power-on value, save and reboot. Each run logs in, makes its
// calls and ends the dialogue; only save (or --save) has the module keep
// the settings over a restart.
#include "args.h"
#include "command.h"

namespace kivtool {

namespace {

// "AI channel 2", "AI channels 1..8".
std::string channels_text(const char *group, int first, int count)
{
    return std::string(group) + (count == 1 ? " channel " + std::to_string(first)
                                            : " channels " + std::to_string(first) + ".." +
                                                  std::to_string(first + count - 1));
}

bool has_enable(const ModelInfo &m)
{
    return m.ai > 0 || m.tc > 0;
}
bool has_ai(const ModelInfo &m)
{
    return m.ai > 0;
}
bool has_outputs(const ModelInfo &m)
{
    return m.outputs > 0;
}

// The channels whose enable bits the model has: AI on ZRM-7301, TC on ZRM-7303.
int enable_channels(const ModelInfo &m)
{
    return m.ai > 0 ? m.ai : m.tc;
}
const char *enable_group(const ModelInfo &m)
{
    return m.ai > 0 ? "AI" : "TC";
}

void bit_rows(Outcome &out, int first, int count, unsigned mask, const char *column,
              const char *key, bool as_on)
{
    Table t({"channel", column});
    std::vector<std::string> items;
    for (int i = 0; i < count; ++i) {
        bool set = (mask >> i) & 1;
        t.row({std::to_string(first + i), as_on ? (set ? "on" : "off") : (set ? "yes" : "no")});
        JsonObject c;
        c.num("channel", first + i).flag(key, set);
        items.push_back(c.text());
    }
    out.table = std::move(t);
    out.json.num("first", first).num("count", count).num("mask", mask).raw("channels",
                                                                           json_array(items));
}

Action read_enable(Window w)
{
    return [w](Connections &l, Outcome &out) {
        const int t = l.options.timeout_ms;
        const std::string doing = std::string("read the enable bits of ") + channels_text(enable_group(l.model), w.first, w.count);
        kiv::result<std::uint8_t> r =
            l.model.ai > 0 ? kiv::zrm7301(t).get_ai_enable(l.config, w.first, w.count)
                           : kiv::zrm7303(t).get_tc_enable(l.config, w.first, w.count);
        const char *call = l.model.ai > 0 ? "KIV_Cfg_ZRM_7301_Get_AI_Enable"
                                          : "KIV_Cfg_ZRM_7303_Get_TC_Enable";
        if (!out.check(l, call, doing, r))
            return;
        bit_rows(out, w.first, w.count, *r, "enabled", "enabled", false);
    };
}

Action write_enable(Window w, unsigned mask)
{
    return [w, mask](Connections &l, Outcome &out) {
        const int t = l.options.timeout_ms;
        const std::string doing = std::string("set the enable bits of ") + channels_text(enable_group(l.model), w.first, w.count);
        kiv::result<void> r =
            l.model.ai > 0 ? kiv::zrm7301(t).set_ai_enable(l.config, w.first, w.count, mask)
                           : kiv::zrm7303(t).set_tc_enable(l.config, w.first, w.count, mask);
        const char *call = l.model.ai > 0 ? "KIV_Cfg_ZRM_7301_Set_AI_Enable"
                                          : "KIV_Cfg_ZRM_7303_Set_TC_Enable";
        if (!out.check(l, call, doing, r))
            return;
        bit_rows(out, w.first, w.count, mask, "enabled", "enabled", false);
        out.read_back = {"enable", std::to_string(w.first), std::to_string(w.count)};
    };
}

Prepared enable(const Options &o, const ModelInfo &m)
{
    Window w;
    if (auto e = parse_window(o.args, 0, enable_channels(m), enable_group(m), m, w); !e.empty())
        return {{}, e};
    return {read_enable(w), {}};
}

Prepared enable_set(const Options &o, const ModelInfo &m)
{
    if (o.args.size() != 2)
        return {{}, "expected CHANNEL on|off"};
    Window w{1, 1};
    if (auto e = parse_channel(o.args[0], enable_channels(m), enable_group(m), m, w.first);
        !e.empty())
        return {{}, e};
    auto state = parse_state(o.args[1]);
    if (!state)
        return {{}, "state " + o.args[1] + ": expected on or off"};
    return {write_enable(w, *state ? 1 : 0), {}};
}

Prepared enable_mask(const Options &o, const ModelInfo &m)
{
    if (o.args.empty())
        return {{}, "expected MASK [FIRST [COUNT]]"};
    Window w;
    if (auto e = parse_window(o.args, 1, enable_channels(m), enable_group(m), m, w); !e.empty())
        return {{}, e};
    unsigned mask = 0;
    if (auto e = parse_mask(o.args[0], w.count, mask); !e.empty())
        return {{}, e};
    return {write_enable(w, mask), {}};
}

void range_rows(Outcome &out, int first, const std::vector<std::uint8_t> &codes)
{
    Table t({"channel", "code", "range", "span"});
    std::vector<std::string> items;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const int n = first + static_cast<int>(i);
        auto label = kiv::range_label(codes[i]);
        std::string span = label ? kiv::ranges[codes[i]].span : "";
        t.row({std::to_string(n), std::to_string(codes[i]), label ? unit_case(*label) : "?",
               label ? span : "no such range"});
        JsonObject c;
        c.num("channel", n).num("code", codes[i]);
        if (label)
            c.str("label", unit_case(*label));
        else
            c.raw("label", "null");
        items.push_back(c.text());
    }
    out.table = std::move(t);
    out.json.num("first", first)
        .num("count", static_cast<long>(codes.size()))
        .raw("channels", json_array(items));
}

Prepared range(const Options &o, const ModelInfo &m)
{
    Window w;
    if (auto e = parse_window(o.args, 0, m.ai, "AI", m, w); !e.empty())
        return {{}, e};
    return {[w](Connections &l, Outcome &out) {
                auto r = kiv::zrm7301(l.options.timeout_ms).get_ai_range(l.config, w.first, w.count);
                if (!out.check(l, "KIV_Cfg_ZRM_7301_Get_AI_Range",
                               "read the ranges of " + channels_text("AI", w.first, w.count), r))
                    return;
                range_rows(out, w.first, *r);
            },
            {}};
}

Prepared range_set(const Options &o, const ModelInfo &m)
{
    if (o.args.size() < 2)
        return {{}, "expected FIRST RANGE [RANGE...]"};
    int first = 1;
    if (auto e = parse_channel(o.args[0], m.ai, "AI", m, first); !e.empty())
        return {{}, e};
    std::vector<std::uint8_t> codes;
    for (std::size_t i = 1; i < o.args.size(); ++i) {
        auto code = parse_range(o.args[i]);
        if (!code)
            return {{}, "range " + o.args[i] +
                            ": expected a code 0..10 or a label such as 0~10V (see help range-set)"};
        codes.push_back(*code);
    }
    if (first + static_cast<int>(codes.size()) - 1 > m.ai)
        return {{}, std::to_string(codes.size()) + " ranges from channel " + std::to_string(first) +
                        " go past channel " + std::to_string(m.ai) + ": " + m.name + " has AI channels 1.." +
                        std::to_string(m.ai)};
    return {[first, codes](Connections &l, Outcome &out) {
                // One channel per call, so that a failure part-way can say
                // which channels the module already holds.
                const int count = static_cast<int>(codes.size());
                for (int i = 0; i < count; ++i) {
                    const std::uint8_t one[] = {codes[static_cast<std::size_t>(i)]};
                    auto r = kiv::zrm7301(l.options.timeout_ms).set_ai_range(l.config, first + i, one);
                    if (out.check(l, "KIV_Cfg_ZRM_7301_Set_AI_Range",
                                   "set the range of " + channels_text("AI", first + i, 1), r))
                        continue;
                    out.note = (i == 0 ? std::string("no channel was written")
                                       : channels_text("AI", first, i) + " written") +
                               (i + 1 < count ? "; " + channels_text("AI", first + i + 1, count - i - 1) +
                                                    " not tried"
                                              : "");
                    out.json.num("written", i);
                    return;
                }
                range_rows(out, first, codes);
                out.read_back = {"range", std::to_string(first), std::to_string(count)};
            },
            {}};
}

kiv::result<std::uint8_t> get_povp(const Connections &l)
{
    const int t = l.options.timeout_ms;
    switch (l.model.model) {
    case Model::zrm7301: return kiv::zrm7301(t).get_do_power_on(l.config);
    case Model::zrm7302: return kiv::zrm7302(t).get_do_power_on(l.config);
    case Model::zrm7303: return kiv::zrm7303(t).get_do_power_on(l.config);
    }
    return kiv::errc::param;
}

kiv::result<void> set_povp(const Connections &l, unsigned mask)
{
    const int t = l.options.timeout_ms;
    switch (l.model.model) {
    case Model::zrm7301: return kiv::zrm7301(t).set_do_power_on(l.config, mask);
    case Model::zrm7302: return kiv::zrm7302(t).set_do_power_on(l.config, mask);
    case Model::zrm7303: return kiv::zrm7303(t).set_do_power_on(l.config, mask);
    }
    return kiv::errc::param;
}

Prepared povp(const Options &o, const ModelInfo &)
{
    if (auto e = no_more(o.args, 0); !e.empty())
        return {{}, e};
    return {[](Connections &l, Outcome &out) {
                auto r = get_povp(l);
                if (!out.check(l, "KIV_Cfg_Get_DO_PowerOnValue", "read the power-on value", r))
                    return;
                bit_rows(out, 1, l.model.outputs, *r, "power-on", "on", true);
            },
            {}};
}

Prepared povp_set(const Options &o, const ModelInfo &m)
{
    if (o.args.size() != 1)
        return {{}, "expected MASK"};
    unsigned mask = 0;
    if (auto e = parse_mask(o.args[0], m.outputs, mask); !e.empty())
        return {{}, e};
    return {[mask](Connections &l, Outcome &out) {
                auto r = set_povp(l, mask);
                if (!out.check(l, "KIV_Cfg_Set_DO_PowerOnValue", "set the power-on value", r))
                    return;
                bit_rows(out, 1, l.model.outputs, mask, "power-on", "on", true);
                out.read_back = {"povp"};
            },
            {}};
}

bool any_model(const ModelInfo &)
{
    return true;
}

Prepared save(const Options &o, const ModelInfo &)
{
    if (auto e = no_more(o.args, 0); !e.empty())
        return {{}, e};
    return {save_settings, {}};
}

} // namespace

std::vector<Command> configuration_commands()
{
    return {
        {"enable", "enable [FIRST [COUNT]]", "read the inputs' enable bits",
         "Reads the enable bits of channels FIRST..FIRST+COUNT-1 (default: all): the AI\n"
         "channels of ZRM-7301, the TC channels of ZRM-7303. One row per channel:\n"
         "channel, enabled (yes or no).\n"
         "JSON: \"first\", \"count\", \"mask\", \"channels\": [{\"channel\", \"enabled\"}].\n"
         "Example: kivtool 192.168.1.10 7301 enable",
         Service::config, false, false, has_enable, enable},
        {"enable-set", "enable-set CHANNEL on|off", "enable or disable one channel",
         "Enables (on) or disables (off) one channel; the others keep their setting.\n"
         "JSON: as enable, for the channel written.\n"
         "Example: kivtool 192.168.1.12 7303 enable-set 2 off",
         Service::config, false, true, has_enable, enable_set},
        {"enable-mask", "enable-mask MASK [FIRST [COUNT]]", "write enable bits as a mask",
         "Writes the enable bits of channels FIRST..FIRST+COUNT-1 (default: all): bit i\n"
         "of MASK for channel FIRST+i, 1 = enabled. Channels outside keep their setting.\n"
         "JSON: as enable, for the channels written.\n"
         "Example: kivtool 192.168.1.10 7301 enable-mask 0x55",
         Service::config, false, true, has_enable, enable_mask},
        {"range", "range [FIRST [COUNT]]", "read the AI ranges",
         "Reads the range codes of AI channels FIRST..FIRST+COUNT-1 (default: all\n"
         "eight). One row per channel: channel, code, range label, span.\n"
         "JSON: \"first\", \"count\", \"channels\": [{\"channel\", \"code\", \"label\" (null for\n"
         "a code that names no range)}].\n"
         "Example: kivtool 192.168.1.10 7301 range",
         Service::config, false, false, has_ai, range},
        {"range-set", "range-set FIRST RANGE [RANGE...]", "set AI ranges by code or label",
         "Sets the ranges of AI channels FIRST, FIRST+1, ... one RANGE each. A RANGE is\n"
         "a code or its label (any case):\n"
         "   0 -150~150mV   1 0~150mV   2 -500~500mV   3 0~500mV   4 -1~1V   5 0~1V\n"
         "   6 -5~5V        7 0~5V      8 -10~10V      9 0~10V    10 0~20mA\n"
         "JSON: as range, for the channels written.\n"
         "Example: kivtool 192.168.1.10 7301 range-set 1 0~10V 0~20mA 8",
         Service::config, false, true, has_ai, range_set},
        {"povp", "povp", "read the outputs' power-on value",
         "Reads the state each digital output takes when the module starts (\"u8_povp\",\n"
         "bit 0 for output 1). One row per output: channel, power-on (on or off).\n"
         "JSON: \"first\", \"count\", \"mask\", \"channels\": [{\"channel\", \"on\"}].\n"
         "Example: kivtool 192.168.1.11 7302 povp",
         Service::config, false, false, has_outputs, povp},
        {"povp-set", "povp-set MASK", "set the outputs' power-on value",
         "Sets the power-on state of all outputs: bit i of MASK for output i+1.\n"
         "JSON: as povp.\n"
         "Example: kivtool 192.168.1.11 7302 povp-set 0x0f --save",
         Service::config, false, true, has_outputs, povp_set},
        {"save", "save", "save the settings; the module restarts",
         "Has the module keep its current settings and restart (\"S:save=1&reboot=1\"),\n"
         "waiting -t ms for its answer. Settings changed without save last until the\n"
         "module restarts. Without an answer in time the save is not confirmed: the\n"
         "module may have saved; status 1 and \"saved\": null.\n"
         "With --verify the tool logs in again once the module is back (\"verified\").\n"
         "JSON: \"saved\": true, or false when the module refused, or null.\n"
         "Example: kivtool 192.168.1.10 7301 save",
         Service::config, false, false, any_model, save},
    };
}

} // namespace kivtool
