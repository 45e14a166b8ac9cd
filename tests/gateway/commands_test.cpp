// Output commands over MQTT and Home Assistant's discovery, end to end: a
// command switches the simulator's output and is answered with the state
// read back; a command that is not exactly right writes nothing; a failed
// write is answered with its result name; discovery describes each channel.
#include "gateway_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <thread>

using namespace gwtest;
using nlohmann::json;

namespace {

std::string with_commands(std::string module_table)
{
    return module_table + "commands = true\n";
}

// The outputs of the module's last values object, bit 0 for output 1.
unsigned outputs(const Subscriber &s, const std::string &module)
{
    auto v = s.on("kiv/g/" + module + "/values");
    if (v.empty())
        return 0xffff;
    unsigned mask = 0;
    const json j = json::parse(v.back().payload);
    for (std::size_t i = 0; i < j["do"].size(); ++i)
        if (j["do"][i]["on"].get<bool>())
            mask |= 1u << i;
    return mask;
}

} // namespace

TEST(Commands, SwitchTheOutputAndAnswerWithTheStateReadBack)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim sim("127.0.33.1", {"--model", "7302"});
    Subscriber sub(broker.port());
    Gateway gw(gateway_toml("g", &broker) + with_commands(module_toml("m", 7302, sim)));
    ASSERT_TRUE(sub.wait_for_payload("kiv/g/m/status", "online", 10s)) << gw.err();

    sub.publish("kiv/g/m/do/3/set", "on");
    EXPECT_TRUE(sub.wait_for_payload("kiv/g/m/do/3", "on", 5s)) << gw.err();
    EXPECT_TRUE(eventually([&] { return outputs(sub, "m") == 0x04; }, 5s));
    sub.publish("kiv/g/m/do/3/set", "off");
    EXPECT_TRUE(sub.wait_for_payload("kiv/g/m/do/3", "off", 5s));
    EXPECT_TRUE(eventually([&] { return outputs(sub, "m") == 0; }, 5s));
}

TEST(Commands, AnythingNotExactlyRightWritesNothing)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim open("127.0.33.11", {"--model", "7302"});
    ModuleSim closed("127.0.33.12", {"--model", "7303"});
    Subscriber sub(broker.port());
    Gateway gw(gateway_toml("g", &broker) + with_commands(module_toml("open", 7302, open)) +
               module_toml("closed", 7303, closed));
    ASSERT_TRUE(sub.wait_for_payload("kiv/g/closed/status", "online", 10s)) << gw.err();
    ASSERT_TRUE(sub.wait_for_payload("kiv/g/open/status", "online", 10s));

    for (const char *payload : {"ON", "1", "true", "on ", ""})
        sub.publish("kiv/g/open/do/1/set", payload);
    for (const char *topic : {"kiv/g/open/do/9/set", "kiv/g/open/do/0/set", "kiv/g/open/do/x/set",
                              "kiv/g/open/do/1/set/more", "kiv/g/closed/do/1/set", "kiv/g/nobody/do/1/set"})
        sub.publish(topic, "on");
    // A last good command shows that the others were handled before it.
    sub.publish("kiv/g/open/do/2/set", "on");
    ASSERT_TRUE(sub.wait_for_payload("kiv/g/open/do/2", "on", 5s));
    std::this_thread::sleep_for(300ms);
    for (const Message &m : sub.messages())
        EXPECT_TRUE(m.topic.find("/do/") == std::string::npos || m.topic == "kiv/g/open/do/2" ||
                    m.topic.find("/set") != std::string::npos)
            << m.topic << " " << m.payload;
    EXPECT_TRUE(eventually([&] { return outputs(sub, "open") == 0x02 && outputs(sub, "closed") == 0; }, 5s));
    EXPECT_EQ(gw.stop(), 0);
    // The first refusal, then (at the stop) how many more and the last.
    EXPECT_NE(gw.err().find("command kiv/g/open/do/1/set \"ON\" refused: the payload must be on or off"),
              std::string::npos) << gw.err();
    EXPECT_NE(gw.err().find("commands refused: 9 more in the 60 s after the first; the last: command "
                            "kiv/g/nobody/do/1/set \"on\" refused: no module nobody"),
              std::string::npos) << gw.err();
}

TEST(Commands, FailedWriteIsAnsweredWithItsResultName)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim sim("127.0.33.21", {"--model", "7301", "--exception", "4"});
    Subscriber sub(broker.port());
    Gateway gw(gateway_toml("g", &broker) + with_commands(module_toml("m", 7301, sim)));
    ASSERT_TRUE(sub.wait_for_payload("kiv/g/status", "online", 10s)) << gw.err();
    sub.publish("kiv/g/m/do/1/set", "on");
    EXPECT_TRUE(sub.wait_for_payload("kiv/g/m/do/1/error", "KIV_ERR_EXCEPTION", 5s)) << gw.err();
}

TEST(Discovery, EachChannelIsAnEntityOfTheModulesDevice)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim sim("127.0.33.31", {"--model", "7303"});
    Gateway gw("[gateway]\nid = \"g\"\n[mqtt]\nbroker = \"" + broker.address() + "\"\nhomeassistant = true\n" +
               with_commands(module_toml("oven", 7303, sim)));
    ASSERT_TRUE(eventually([&] { return listening("127.0.0.1", broker.port()); }, 5s));
    // Retained: a subscriber that comes later gets them.
    std::this_thread::sleep_for(1s);
    Subscriber sub(broker.port(), {"kiv/#", "homeassistant/#"});
    const std::string base = "homeassistant/";
    ASSERT_TRUE(sub.wait_for(
        [&](const std::vector<Message> &all) {
            return std::count_if(all.begin(), all.end(),
                                 [&](auto &m) { return m.topic.rfind(base, 0) == 0; }) == 9;
        },
        5s))
        << gw.err();
    const auto tc1 = sub.on(base + "sensor/kiv_g_oven/tc1/config");
    ASSERT_EQ(tc1.size(), 1u);
    EXPECT_TRUE(tc1[0].retained);
    json t = json::parse(tc1[0].payload);
    EXPECT_EQ(t["state_topic"], "kiv/g/oven/values");
    EXPECT_EQ(t["value_template"], "{{ value_json.tc[0].temperature }}");
    EXPECT_EQ(t["unit_of_measurement"], "°C");
    EXPECT_EQ(t["device_class"], "temperature");
    EXPECT_EQ(t["device"]["identifiers"][0], "kiv_g_oven");
    EXPECT_EQ(t["availability"][0]["topic"], "kiv/g/oven/status");
    json sw = json::parse(sub.on(base + "switch/kiv_g_oven/do1/config").at(0).payload);
    EXPECT_EQ(sw["command_topic"], "kiv/g/oven/do/1/set");
    EXPECT_EQ(sw["payload_on"], "on");
    json di = json::parse(sub.on(base + "binary_sensor/kiv_g_oven/di2/config").at(0).payload);
    EXPECT_EQ(di["value_template"], "{{ 'ON' if value_json.di[1].on else 'OFF' }}");
}

TEST(Discovery, AnalogUnitsComeFromTheDeclaredRanges)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim sim("127.0.33.41", {"--model", "7301", "--range", "1=9", "--range", "2=10"});
    Subscriber sub(broker.port(), {"homeassistant/#"});
    Gateway gw("[gateway]\nid = \"g\"\n[mqtt]\nbroker = \"" + broker.address() + "\"\nhomeassistant = true\n" +
               module_toml("ai", 7301, sim) + "config_port = " + std::to_string(sim.config_port) +
               "\n[module.settings]\nai_range = [\"0~10V\", \"0~20mA\"]\n");
    const std::string at = "homeassistant/sensor/kiv_g_ai/";
    ASSERT_TRUE(sub.wait_for([&](auto &) { return sub.on(at + "ai3/config").size() == 1; }, 10s)) << gw.err();
    json v = json::parse(sub.on(at + "ai1/config").at(0).payload);
    EXPECT_EQ(v["unit_of_measurement"], "V");
    EXPECT_EQ(v["device_class"], "voltage");
    json a = json::parse(sub.on(at + "ai2/config").at(0).payload);
    EXPECT_EQ(a["unit_of_measurement"], "mA");
    EXPECT_FALSE(json::parse(sub.on(at + "ai3/config").at(0).payload).contains("unit_of_measurement"));
}
