#include "discovery.h"

#include "common/text.h"

#include <nlohmann/json.hpp>

namespace gateway {

namespace {

using nlohmann::json;

// "ai" and 3: "ai3".
std::string numbered(const char *prefix, int n)
{
    return common::concat({prefix, std::to_string(n)});
}

class ModuleDiscovery {
public:
    ModuleDiscovery(const Config &c, const ModuleConfig &m, std::vector<Retained> &out)
        : c_(c), m_(m), out_(out), root_("kiv/" + c.id + "/" + m.name + "/"),
          device_id_("kiv_" + c.id + "_" + m.name)
    {
    }

    // One entity: component "sensor", "binary_sensor" or "switch"; object
    // "ai1", "do3"...; fields of its own on top of the common ones.
    void add(const char *component, const std::string &object, const std::string &name, json fields)
    {
        fields["name"] = name;
        fields["unique_id"] = device_id_ + "_" + object;
        fields["object_id"] = device_id_ + "_" + object;
        fields["state_topic"] = root_ + "values";
        fields["availability"] = json::array({{{"topic", root_ + "status"}}, {{"topic", "kiv/" + c_.id + "/status"}}});
        fields["availability_mode"] = "all";
        fields["payload_available"] = "online";
        fields["payload_not_available"] = "offline";
        fields["device"] = {{"identifiers", json::array({device_id_})},
                            {"name", m_.name},
                            {"model", numbered("ZRM-", m_.model)}};
        out_.push_back({common::concat({c_.mqtt->discovery_prefix, "/", component, "/", device_id_, "/", object,
                                        "/config"}),
                        fields.dump()});
    }

    void all()
    {
        const kiv::model_info &n = *m_.traits;
        for (int i = 0; i < n.ai; ++i) {
            json fields = {{"value_template", numbered("{{ value_json.ai[", i) + "].value }}"},
                           {"state_class", "measurement"}};
            // The unit is the range's: known where the settings declare it.
            const auto &ranges = m_.settings ? m_.settings->ai_range : std::vector<std::uint8_t>{};
            if (static_cast<std::size_t>(i) < ranges.size()) {
                const int code = ranges[static_cast<std::size_t>(i)];
                const bool current = code == 10;
                fields["unit_of_measurement"] = current ? "mA" : code < 4 ? "mV" : "V";
                fields["device_class"] = current ? "current" : "voltage";
            }
            add("sensor", numbered("ai", i + 1), numbered("AI ", i + 1), fields);
        }
        for (int i = 0; i < n.tc; ++i) {
            const std::string at = numbered("{{ value_json.tc[", i) + "].";
            json temperature = {{"device_class", "temperature"}, {"unit_of_measurement", "°C"},
                                {"state_class", "measurement"}};
            temperature["value_template"] = at + "temperature }}";
            add("sensor", numbered("tc", i + 1), numbered("TC ", i + 1), temperature);
            temperature["value_template"] = at + "reference }}";
            add("sensor", numbered("tc", i + 1) + "_reference", numbered("TC ", i + 1) + " reference",
                temperature);
        }
        for (int i = 0; i < n.di; ++i)
            add("binary_sensor", numbered("di", i + 1), numbered("DI ", i + 1),
                {{"value_template", numbered("{{ 'ON' if value_json.di[", i) + "].on else 'OFF' }}"}});
        for (int i = 0; i < n.outputs; ++i) {
            const std::string n1 = std::to_string(i + 1);
            if (m_.commands)
                add("switch", "do" + n1, "DO " + n1,
                    {{"value_template", numbered("{{ 'on' if value_json.do[", i) + "].on else 'off' }}"},
                     {"state_on", "on"},
                     {"state_off", "off"},
                     {"command_topic", root_ + "do/" + n1 + "/set"},
                     {"payload_on", "on"},
                     {"payload_off", "off"}});
            else
                add("binary_sensor", "do" + n1, "DO " + n1,
                    {{"value_template", numbered("{{ 'ON' if value_json.do[", i) + "].on else 'OFF' }}"}});
        }
    }

private:
    const Config &c_;
    const ModuleConfig &m_;
    std::vector<Retained> &out_;
    std::string root_;
    std::string device_id_;
};

} // namespace

std::vector<Retained> discovery_messages(const Config &c)
{
    std::vector<Retained> out;
    if (!c.mqtt || !c.mqtt->homeassistant)
        return out;
    for (const ModuleConfig &m : c.modules)
        if (!m.vacant())
            ModuleDiscovery(c, m, out).all();
    return out;
}

} // namespace gateway
