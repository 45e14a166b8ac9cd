// kivtool's process-data commands against zrm-sim: what each prints, as a
// table and as JSON, and that writes reach the module.
#include "tool_process.h"

#include <gtest/gtest.h>

using namespace kivtest;

namespace {

// kivtool with the simulator's ports, at 127.0.0.1 for the model.
ToolRun run(const Sim &sim, const char *model, std::vector<std::string> args)
{
    std::vector<std::string> line = ports(sim);
    line.push_back("127.0.0.1");
    line.push_back(model);
    line.insert(line.end(), args.begin(), args.end());
    return kivtool(line);
}

// The thermocouples of the thermo_poll example's run with fixed channels.
const std::vector<std::string> thermocouples = {
    "--model", "7303", "--tc-en", "0x5", "--tc", "1=25.5,24.3,0", "--tc", "2=-3.75,-0.7,0x07",
    "--tc", "3=300.0,0.0,0xf8", "--di", "0x2"};

} // namespace

TEST(KivtoolTc, PrintsTheDecodedChannels)
{
    Sim sim(thermocouples);
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"tc"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "channel  enabled  temperature  reference  faults\n"
                     "1        yes      25.5         24.3       -\n"
                     "2        no       -3.75        -0.7       Open, Short to GND, Short to VCC\n"
                     "3        yes      300.0        0.0        -\n");
}

TEST(KivtoolTc, JsonCarriesNumbersAndTexts)
{
    Sim sim(thermocouples);
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7303", {"tc", "2", "2", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"address\":\"127.0.0.1\",\"model\":7303,\"command\":\"tc\",\"ok\":true,"
              "\"first\":2,\"count\":2,\"channels\":["
              "{\"channel\":2,\"enabled\":false,\"temperature\":-3.75,\"temperature_text\":\"-3.75\","
              "\"reference\":-0.7,\"reference_text\":\"-0.7\",\"faults\":[\"open\",\"short-gnd\",\"short-vcc\"]},"
              "{\"channel\":3,\"enabled\":true,\"temperature\":300.0,\"temperature_text\":\"300.0\","
              "\"reference\":0.0,\"reference_text\":\"0.0\",\"faults\":[]}]}\n");
}

TEST(KivtoolTc, DigitalInputsAndTheOutput)
{
    Sim sim(thermocouples);
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun di = run(sim, "7303", {"di"});
    EXPECT_EQ(di.status, 0) << di.err;
    EXPECT_EQ(di.out, "channel  state\n1        off\n2        on\n");
    ToolRun on = run(sim, "7303", {"do-set", "on"});
    EXPECT_EQ(on.status, 0) << on.err;
    EXPECT_EQ(on.out, "channel  state\n1        on\n");
    EXPECT_EQ(run(sim, "7303", {"do"}).out, "channel  state\n1        on\n");
    EXPECT_EQ(run(sim, "7303", {"do-mask", "0"}).status, 0);
    EXPECT_EQ(run(sim, "7303", {"do", "--json"}).out,
              "{\"address\":\"127.0.0.1\",\"model\":7303,\"command\":\"do\",\"ok\":true,"
              "\"first\":1,\"count\":1,\"mask\":0,\"channels\":[{\"channel\":1,\"on\":false}]}\n");
}

TEST(KivtoolAi, PrintsTheDecodedChannels)
{
    Sim sim({"--model", "7301", "--ai-en", "0x7f", "--ai", "1=-12.5", "--ai", "2=3.25", "--ai",
             "3=0.0", "--ai", "4=100.50", "--ai", "5=-0.7", "--ai", "6=9999.9", "--ai", "7=1.1",
             "--ai", "8=2.2"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun r = run(sim, "7301", {"ai"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "channel  enabled  value\n"
                     "1        yes      -12.5\n"
                     "2        yes      3.25\n"
                     "3        yes      0.0\n"
                     "4        yes      100.50\n"
                     "5        yes      -0.7\n"
                     "6        yes      9999.9\n"
                     "7        yes      1.1\n"
                     "8        no       2.2\n");
    ToolRun two = run(sim, "7301", {"ai", "4", "1", "-j"});
    EXPECT_EQ(two.out, "{\"address\":\"127.0.0.1\",\"model\":7301,\"command\":\"ai\",\"ok\":true,"
                       "\"first\":4,\"count\":1,\"channels\":[{\"channel\":4,\"enabled\":true,"
                       "\"value\":100.50,\"text\":\"100.50\"}]}\n");
}

TEST(KivtoolAi, TheOutputSwitches)
{
    Sim sim({"--model", "7301", "--do", "0"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    EXPECT_EQ(run(sim, "7301", {"do"}).out, "channel  state\n1        off\n");
    EXPECT_EQ(run(sim, "7301", {"do-set", "1", "on"}).status, 0);
    EXPECT_EQ(run(sim, "7301", {"do"}).out, "channel  state\n1        on\n");
    EXPECT_EQ(run(sim, "7301", {"do-set", "off"}).status, 0);
    EXPECT_EQ(run(sim, "7301", {"do"}).out, "channel  state\n1        off\n");
}

TEST(Kivtool7302, InputsOutputsAndSensors)
{
    Sim sim({"--model", "7302", "--di", "0x8001", "--do", "0", "--sensor", "0=4660", "--sensor",
             "23=65535"});
    ASSERT_TRUE(sim.ready()) << sim.ready_line;
    ToolRun di = run(sim, "7302", {"di", "15", "2"});
    EXPECT_EQ(di.status, 0) << di.err;
    EXPECT_EQ(di.out, "channel  state\n15       off\n16       on\n");
    EXPECT_NE(run(sim, "7302", {"di", "-j"}).out.find("\"count\":16,\"mask\":32769,"), std::string::npos);

    ToolRun mask = run(sim, "7302", {"do-mask", "0x55"});
    EXPECT_EQ(mask.status, 0) << mask.err;
    EXPECT_EQ(run(sim, "7302", {"do-set", "2", "on"}).status, 0);
    EXPECT_EQ(run(sim, "7302", {"do-mask", "0b10", "7", "2"}).status, 0);
    ToolRun all = run(sim, "7302", {"do", "-j"});
    // 0x55, output 2 on, output 7 off and 8 on.
    EXPECT_NE(all.out.find("\"first\":1,\"count\":8,\"mask\":151,"), std::string::npos) << all.out;
    EXPECT_EQ(run(sim, "7302", {"do", "2", "3"}).out,
              "channel  state\n2        on\n3        on\n4        off\n");

    ToolRun sensors = run(sim, "7302", {"sensors"});
    EXPECT_EQ(sensors.status, 0) << sensors.err;
    EXPECT_EQ(sensors.out.rfind("register  value  hex\n0         4660   0x1234\n", 0), 0u) << sensors.out;
    EXPECT_NE(sensors.out.find("\n23        65535  0xffff\n"), std::string::npos) << sensors.out;
    ToolRun json = run(sim, "7302", {"sensors", "--json"});
    EXPECT_EQ(json.out.rfind("{\"address\":\"127.0.0.1\",\"model\":7302,\"command\":\"sensors\","
                             "\"ok\":true,\"registers\":[4660,",
                             0),
              0u)
        << json.out;
    EXPECT_NE(json.out.find(",65535]}\n"), std::string::npos);
}
