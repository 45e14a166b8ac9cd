// Sparkplug B payloads as an independent decoder (the npm package
// sparkplug-payload) reads them, the metrics of each model, and commands
// decoded from our encoder, from the package's and from garbage.
#include "sparkplug_metrics.h"
#include "sparkplug_payload.h"
#include "sparkplug_peer.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace {

using namespace gateway;
using namespace gateway::sparkplug;
using nlohmann::json;

constexpr std::uint64_t t0 = 1700000000123;

Metric metric(std::string name, DataType type, Metric::Value value)
{
    Metric m;
    m.name = std::move(name);
    m.type = type;
    m.value = std::move(value);
    return m;
}

TEST(Sparkplug, NpmDecoderReadsWhatWeEncode)
{
    Metric with_all = metric("ai/1", DataType::Double, 12.5);
    with_all.alias = 1;
    with_all.timestamp = t0;
    with_all.properties = {{"range", "0~10V"}, {"engUnit", "V"}};
    Metric null = metric("tc/1/temperature", DataType::Double, 3.0);
    null.is_null = true;
    Metric historical = metric("do/1", DataType::Boolean, true);
    historical.historical = true;
    Metric alias_only = metric("", DataType::Boolean, false);
    alias_only.alias = 7;
    const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        Payload payload;
        json decoded;
    };
    const std::vector<Case> cases{
        {{t0, std::nullopt, {with_all, null, historical, metric("sensor/1", DataType::UInt16, std::uint64_t{65535}),
                             metric("n", DataType::UInt64, big), metric("tc/1/fault", DataType::String, "short-gnd"),
                             metric("tc/2/fault", DataType::String, "")}},
         {{"timestamp", t0},
          {"metrics",
           {{{"name", "ai/1"}, {"alias", 1}, {"timestamp", t0}, {"type", "Double"}, {"value", 12.5}, {"isNull", false},
             {"properties", {{"range", {{"type", "String"}, {"value", "0~10V"}}},
                             {"engUnit", {{"type", "String"}, {"value", "V"}}}}}},
            {{"name", "tc/1/temperature"}, {"type", "Double"}, {"value", nullptr}, {"isNull", true}},
            {{"name", "do/1"}, {"type", "Boolean"}, {"value", true}, {"isNull", false}, {"isHistorical", true}},
            {{"name", "sensor/1"}, {"type", "UInt16"}, {"value", 65535}, {"isNull", false}},
            {{"name", "n"}, {"type", "UInt64"}, {"value", "18446744073709551615"}, {"isNull", false}},
            {{"name", "tc/1/fault"}, {"type", "String"}, {"value", "short-gnd"}, {"isNull", false}},
            {{"name", "tc/2/fault"}, {"type", "String"}, {"value", ""}, {"isNull", false}}}}}},
        {{t0, 0, {alias_only}},
         {{"timestamp", t0}, {"seq", 0},
          {"metrics", {{{"alias", 7}, {"type", "Boolean"}, {"value", false}, {"isNull", false}}}}}},
        {{0, 255, {}}, {{"seq", 255}, {"metrics", json::array()}}},
    };
    std::vector<std::string> encoded;
    for (const Case &c : cases)
        encoded.push_back(encode(c.payload));
    // A stored message replayed: its seq added to the bytes.
    encoded.push_back(with_seq(encode({t0, std::nullopt, {}}), 300));
    encoded.push_back(with_seq(encode({t0, std::nullopt, {}}), big));
    const std::vector<json> decoded = kivtest::sparkplug_decode(encoded);
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(decoded[i], cases[i].decoded) << "case " << i;
    EXPECT_EQ(decoded[3], json({{"timestamp", t0}, {"seq", 300}, {"metrics", json::array()}}));
    EXPECT_EQ(decoded[4]["seq"], "18446744073709551615");

    // The caller's mistake, not the data's.
    EXPECT_THROW(encode({t0, 0, {metric("x", DataType::Boolean, 1.0)}}), std::invalid_argument);
    EXPECT_THROW(encode({t0, 0, {metric("x", DataType::DataSet, 1.0)}}), std::invalid_argument);
}

// "name type value" of each metric; "null" for its value when it is null.
std::vector<std::string> described(const std::vector<Metric> &metrics, std::uint64_t timestamp)
{
    std::vector<std::string> out;
    for (const Metric &m : metrics) {
        EXPECT_EQ(m.timestamp, timestamp) << m.name;
        std::string s = m.name + ' ' + std::to_string(static_cast<unsigned>(m.type)) + ' ';
        if (m.is_null)
            s += "null";
        else
            std::visit([&s](const auto &v) {
                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>)
                    s += '"' + v + '"';
                else
                    s += json(v).dump();
            }, m.value);
        for (const auto &[k, v] : m.properties)
            s += ' ' + k + '=' + v;
        out.push_back(s);
    }
    return out;
}

TEST(Sparkplug, MetricsOfEachModel)
{
    ProcessImage p;
    p.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(t0));
    ModuleConfig m;
    m.settings = DeclaredSettings{};
    m.settings->ai_range = {9, 0, 10, 11};  // 11: no range this module knows
    p.ai = {{true, {false, 12, 50}}, {false, {true, 1, 5}}, {true, {true, 0, 25}}, {true, {}}, {true, {}}};
    p.outputs = {true, false};
    EXPECT_EQ(described(module_metrics(m, p), t0),
              (std::vector<std::string>{"ai/1 10 12.5 range=0~10V engUnit=V", "ai/2 10 null range=-150~150MV engUnit=mV",
                                        "ai/3 10 -0.25 range=0~20MA engUnit=mA", "ai/4 10 0.0", "ai/5 10 0.0",
                                        "do/1 11 true", "do/2 11 false"}));

    ProcessImage p2;
    p2.time = p.time;
    p2.di = {true, false};
    p2.outputs = {true};
    p2.sensors = {0, 65535};
    EXPECT_EQ(described(module_metrics(ModuleConfig{}, p2), t0),
              (std::vector<std::string>{"di/1 11 true", "di/2 11 false", "do/1 11 true", "sensor/1 6 0",
                                        "sensor/2 6 65535"}));

    ProcessImage p3;
    p3.time = p.time;
    p3.tc = {{true, {true, 12, 25}, {false, 23, 5}, 0},
             {true, {false, 999, 0}, {false, 24, 0}, KIV_TC_FAULT_OPEN | KIV_TC_FAULT_SHORT_VCC},
             {false, {}, {}, KIV_TC_FAULT_SHORT_GND}};
    p3.di = {false};
    p3.outputs = {false};
    EXPECT_EQ(described(module_metrics(ModuleConfig{}, p3), t0),
              (std::vector<std::string>{"tc/1/temperature 10 -12.25", "tc/1/reference 10 23.5", "tc/1/fault 12 \"\"",
                                        "tc/2/temperature 10 null", "tc/2/reference 10 24.0",
                                        "tc/2/fault 12 \"open\"", "tc/3/temperature 10 null",
                                        "tc/3/reference 10 null", "tc/3/fault 12 \"short-gnd\"", "di/1 11 false",
                                        "do/1 11 false"}));

    // From the model alone: every metric, null.
    ModuleConfig m7302;
    m7302.traits = kiv::find_model(7302);
    const std::vector<std::string> blank = described(module_metrics(m7302), 0);
    ASSERT_EQ(blank.size(), 16u + 8u + 24u);
    EXPECT_EQ(blank.front(), "di/1 11 null");
    EXPECT_EQ(blank.back(), "sensor/24 6 null");
}

TEST(Sparkplug, DecodesCommands)
{
    Metric by_alias = metric("", DataType::Boolean, false);
    by_alias.alias = 5;
    const Payload ours{t0, 4, {metric("do/1", DataType::Boolean, true), by_alias}};
    EXPECT_EQ(decode(encode(ours)), ours);

    const std::vector<std::string> npm = kivtest::sparkplug_encode({json{
        {"timestamp", t0}, {"seq", 9},
        {"metrics",
         {{{"name", "do/2"}, {"type", "Boolean"}, {"value", true}},
          {{"alias", 9}, {"type", "UInt16"}, {"value", 7}},
          {{"name", "i"}, {"type", "Int8"}, {"value", -1}},
          {{"name", "u"}, {"type", "UInt32"}, {"value", 4000000000u}},
          {{"name", "s"}, {"type", "String"}, {"value", "on"}},
          {{"name", "d"}, {"type", "Double"}, {"value", nullptr}}}}}});
    Metric n9 = metric("", DataType::UInt16, std::uint64_t{7});
    n9.alias = 9;
    Metric null = metric("d", DataType::Double, false);
    null.is_null = true;
    EXPECT_EQ(decode(npm.at(0)),
              (Payload{t0, 9, {metric("do/2", DataType::Boolean, true), n9,
                               metric("i", DataType::Int8, std::numeric_limits<std::uint64_t>::max()),
                               metric("u", DataType::UInt32, std::uint64_t{4000000000u}),
                               metric("s", DataType::String, "on"), null}}));

    // No datatype: the value's field says it.
    const auto bare = decode(std::string("\x12\x04\x10\x04\x70\x01", 6));
    ASSERT_TRUE(bare);
    ASSERT_EQ(bare->metrics.size(), 1u);
    EXPECT_EQ(bare->metrics[0].type, DataType::Boolean);
    EXPECT_EQ(bare->metrics[0].value, Metric::Value(true));
}

TEST(Sparkplug, DecodeRefusesGarbage)
{
    using namespace std::string_literals;
    const std::vector<std::string> garbage{
        "\x08\x80"s,                      // a varint cut short
        "\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"s,  // eleven bytes long
        "\x12\x05\x0a\x01"s,              // a metric longer than what follows
        "\x12\xff\xff\xff\xff\x0f"s,      // a length of 4 GiB
        "\x11\x00\x00"s,                  // timestamp as a cut fixed64
        "\x12\x02\x20\x0b\x69"s,          // bytes after a metric's end that make no field
        "\x12\x0b\x20\x0b\x69\x00\x00\x00\x00\x00\x00\xf0\x3f"s,  // Boolean with a double
        "\x0f"s,                          // wire type 7
        std::string(max_decoded_bytes + 1, '\0'),
    };
    for (std::size_t i = 0; i < garbage.size(); ++i)
        EXPECT_FALSE(decode(garbage[i])) << "case " << i;
    // Two bytes a metric, each unpacked into far more: past the budget.
    std::string many;
    while (many.size() + 2 <= max_decoded_bytes)
        many += "\x12\x00"s;
    EXPECT_FALSE(decode(many));

    // Every cut of a real command and random bytes: an answer, never a crash.
    const std::string real = encode({t0, 1, {metric("do/1", DataType::Boolean, true), metric("s", DataType::String, "x")}});
    for (std::size_t n = 0; n < real.size(); ++n)
        (void)decode(real.substr(0, n));
    std::mt19937 random(7);
    for (int i = 0; i < 3000; ++i) {
        std::string bytes = real;
        for (int flips = 0; flips < 3; ++flips)
            bytes[random() % bytes.size()] = static_cast<char>(random());
        (void)decode(bytes);
    }
}

} // namespace
