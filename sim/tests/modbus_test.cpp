// The Modbus/TCP side: each model's map and record bytes, exceptions
// outside the map, live values within their ranges, several clients.
#include "clients.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace simtest;

namespace {

using Regs = std::vector<std::uint16_t>;

// A live value of a record as a number: sign word low byte, integer, one
// fractional digit.
double value_of(const Regs &r, std::size_t at)
{
    double v = r[at + 1] + r[at + 2] / 10.0;
    return (r[at] & 0xFF) == 1 ? -v : v;
}


} // namespace

TEST(Map7301, FixedAnalogRecordsAndDisabledChannel)
{
    Sim sim({"--model", "7301", "--ai-en", "0xf7", "--ai", "1=-12.5", "--ai", "2=3.25", "--ai", "3=12.50",
             "--ai", "4=-0.7", "--ai", "8=65535.65535"});
    ASSERT_TRUE(sim.start()) << sim.error();
    ModbusClient c(sim.modbus_port());
    ASSERT_NE(c.ctx(), nullptr);
    Regs r;
    ASSERT_EQ(c.read_registers(256, 24, r), 24);
    EXPECT_EQ(Regs(r.begin(), r.begin() + 12),
              (Regs{0x0101, 12, 5, 0x0100, 3, 25, 0x0100, 12, 50, 0x0001, 0, 7}))
        << "channel 4 is disabled: enable byte 0, its value kept";
    EXPECT_EQ(Regs(r.begin() + 21, r.end()), (Regs{0x0100, 65535, 65535}));
    for (std::size_t ch = 4; ch < 7; ++ch)
        EXPECT_EQ(r[3 * ch] >> 8, 1) << "live channel " << ch + 1 << " enabled";

    // Records are adjacent: channel 8 alone at 277, channels 3..4 at 262.
    ASSERT_EQ(c.read_registers(277, 3, r), 3);
    EXPECT_EQ(r, (Regs{0x0100, 65535, 65535}));
    ASSERT_EQ(c.read_registers(262, 6, r), 6);
    EXPECT_EQ(r, (Regs{0x0100, 12, 50, 0x0001, 0, 7}));
}

TEST(Map7301, RecordBytesInWireOrder)
{
    Sim sim({"--model", "7301", "--ai", "1=-12.5"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 03 01 00 00 03"))),
              "00 00 00 00 00 09 00 03 06 01 01 00 0c 00 05");
}

TEST(Map7301, SingleOutputFollowsPowerOnValueAndWrites)
{
    Sim sim({"--model", "7301", "--povp", "1"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 01"))), "00 00 00 00 00 04 00 01 01 01")
        << "u8_povp bit 0 sets the output at start";
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 05 00 00 00 00"))), "00 00 00 00 00 06 00 05 00 00 00 00");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 01"))), "00 00 00 00 00 04 00 01 01 00");
}

TEST(Map7301, DoOptionWinsOverPowerOnValue)
{
    Sim sim({"--model", "7301", "--povp", "1", "--do", "0"});
    ASSERT_TRUE(sim.start()) << sim.error();
    ModbusClient c(sim.modbus_port());
    std::vector<std::uint8_t> bits;
    ASSERT_EQ(c.read_bits(0, 1, bits), 1);
    EXPECT_EQ(bits[0], 0);
}

TEST(Map7302, DigitalInputsCoilsAndSensorBlock)
{
    Sim sim({"--model", "7302", "--di", "0xa5c3", "--do", "0x0f", "--sensor", "0=1234", "--sensor", "23=65535"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 02 00 00 00 10"))), "00 00 00 00 00 05 00 02 02 c3 a5");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 02 00 08 00 08"))), "00 00 00 00 00 04 00 02 01 a5")
        << "inputs 9..16 from address 8";
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 02 00 0f 00 01"))), "00 00 00 00 00 04 00 02 01 01");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08"))), "00 00 00 00 00 04 00 01 01 0f");

    // The library's group write of 0x55, then a one-bit write of output 2.
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 08 00 0f 00 00 00 08 01 55"))),
              "00 00 00 00 00 06 00 0f 00 00 00 08");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08"))), "00 00 00 00 00 04 00 01 01 55");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 05 00 01 ff 00"))), "00 00 00 00 00 06 00 05 00 01 ff 00");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08"))), "00 00 00 00 00 04 00 01 01 57");

    ModbusClient c(sim.modbus_port());
    Regs r;
    ASSERT_EQ(c.read_registers(0, 24, r), 24);
    EXPECT_EQ(r[0], 1234);
    EXPECT_EQ(r[23], 65535);
    for (std::size_t i = 1; i < 23; ++i)
        EXPECT_GT(r[i], 0) << "live sensor register " << i;
}

TEST(Map7303, FixedThermocoupleRecordsAndDisabledChannel)
{
    Sim sim({"--model", "7303", "--tc-en", "0x5", "--tc", "1=25.5,24.3,0", "--tc", "2=-3.75,-0.7,0x07",
             "--tc", "3=300.0", "--di", "2"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 03 02 00 00 0f"))),
              "00 00 00 00 00 21 00 03 1e "
              "01 00 00 19 00 05 18 03 00 00 "
              "00 01 00 03 00 4b 00 07 01 07 "
              "01 00 01 2c 00 00 19 00 00 00")
        << "channel 2 disabled; channel 3 without REF and FAULTS reads reference 25.0, no fault";
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 02 00 00 00 02"))), "00 00 00 00 00 04 00 02 01 02");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 02 00 01 00 01"))), "00 00 00 00 00 04 00 02 01 01");
}

TEST(Map7303, NegativeTemperatureReferenceAndFaults)
{
    Sim sim({"--model", "7303", "--tc", "2=-3.75,-0.7,0x07"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 03 02 05 00 05"))),
              "00 00 00 00 00 0d 00 03 0a 01 01 00 03 00 4b 00 07 01 07");
}

struct Outside {
    const char *name;
    const char *model;
    int function;
    int address;
    int quantity;
};

class OutsideTheMap : public ::testing::TestWithParam<Outside> {};

TEST_P(OutsideTheMap, GetsExceptionTwo)
{
    const Outside &p = GetParam();
    Sim sim({"--model", p.model});
    ASSERT_TRUE(sim.start()) << sim.error();
    ModbusClient c(sim.modbus_port());
    ASSERT_NE(c.ctx(), nullptr);
    std::vector<std::uint8_t> bits(64);
    std::vector<std::uint16_t> regs(130);
    int rc = -1;
    switch (p.function) {
    case 1: rc = modbus_read_bits(c.ctx(), p.address, p.quantity, bits.data()); break;
    case 2: rc = modbus_read_input_bits(c.ctx(), p.address, p.quantity, bits.data()); break;
    case 3: rc = modbus_read_registers(c.ctx(), p.address, p.quantity, regs.data()); break;
    case 5: rc = modbus_write_bit(c.ctx(), p.address, 1); break;
    case 15: rc = modbus_write_bits(c.ctx(), p.address, p.quantity, bits.data()); break;
    }
    int err = errno;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(exception_of_errno(err), 2) << modbus_strerror(err);
}

INSTANTIATE_TEST_SUITE_P(
    Models, OutsideTheMap,
    ::testing::Values(
        Outside{"m7301_coil1", "7301", 1, 1, 1}, Outside{"m7301_coils0to1", "7301", 1, 0, 2},
        Outside{"m7301_anyInput", "7301", 2, 0, 1}, Outside{"m7301_register0", "7301", 3, 0, 1},
        Outside{"m7301_register255", "7301", 3, 255, 1}, Outside{"m7301_register280", "7301", 3, 280, 1},
        Outside{"m7301_registers256to280", "7301", 3, 256, 25}, Outside{"m7301_writeCoil1", "7301", 5, 1, 1},
        Outside{"m7302_input16", "7302", 2, 16, 1}, Outside{"m7302_inputs0to16", "7302", 2, 0, 17},
        Outside{"m7302_coil8", "7302", 1, 8, 1}, Outside{"m7302_coils0to8", "7302", 1, 0, 9},
        Outside{"m7302_register24", "7302", 3, 24, 1}, Outside{"m7302_registers0to24", "7302", 3, 0, 25},
        Outside{"m7302_writeCoil8", "7302", 5, 8, 1}, Outside{"m7302_writeCoils1to8", "7302", 15, 1, 8},
        Outside{"m7303_input2", "7303", 2, 2, 1}, Outside{"m7303_inputs0to2", "7303", 2, 0, 3},
        Outside{"m7303_coil1", "7303", 1, 1, 1}, Outside{"m7303_register511", "7303", 3, 511, 1},
        Outside{"m7303_register527", "7303", 3, 527, 1}, Outside{"m7303_registers512to527", "7303", 3, 512, 16},
        Outside{"m7303_writeCoil1", "7303", 5, 1, 1}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(Exceptions, FrameFormOutsideTheMap)
{
    Sim sim({"--model", "7303"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08"))), "00 00 00 00 00 03 00 81 02");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 05 00 01 ff 00"))), "00 00 00 00 00 03 00 85 02");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 08 00 0f 00 00 00 08 01 55"))), "00 00 00 00 00 03 00 8f 02");
}

TEST(Exceptions, RegistersAreReadOnly)
{
    Sim sim({"--model", "7302", "--sensor", "3=77"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 06 00 03 00 01"))), "00 00 00 00 00 03 00 86 01");
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 04 00 00 00 01"))), "00 00 00 00 00 03 00 84 01")
        << "the module has no input registers";
    EXPECT_EQ(to_hex(m.exchange(hex("00 00 00 00 00 06 00 03 00 03 00 01"))), "00 00 00 00 00 05 00 03 02 00 4d");
}

TEST(Framing, UnknownFunctionIsAnsweredAndItsWholeFrameConsumed)
{
    Sim sim({"--model", "7302", "--do", "0x81"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    // Read device identification (0x2b), then a coil read in the same segment.
    ASSERT_TRUE(m.send(hex("00 01 00 00 00 05 00 2b 0e 01 00 00 02 00 00 00 06 00 01 00 00 00 08")));
    EXPECT_EQ(to_hex(m.frame().value_or(Bytes{})), "00 01 00 00 00 03 00 ab 01");
    EXPECT_EQ(to_hex(m.frame().value_or(Bytes{})), "00 02 00 00 00 04 00 01 01 81");
}

TEST(Framing, TransactionAndUnitEchoedSplitAndBackToBackRequests)
{
    Sim sim({"--model", "7302", "--do", "0x81"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    EXPECT_EQ(to_hex(m.exchange(hex("12 34 00 00 00 06 07 01 00 00 00 08"))), "12 34 00 00 00 04 07 01 01 81");

    // One request over two segments, answered once it is whole.
    ASSERT_TRUE(m.send(hex("00 00 00 00 00")));
    EXPECT_TRUE(m.silent_for(100ms));
    EXPECT_EQ(to_hex(m.exchange(hex("06 00 01 00 00 00 08"))), "00 00 00 00 00 04 00 01 01 81");

    // Two requests in one segment: two answers, in order.
    ASSERT_TRUE(m.send(hex("00 01 00 00 00 06 00 01 00 00 00 01 00 02 00 00 00 06 00 01 00 07 00 01")));
    EXPECT_EQ(to_hex(m.frame().value_or(Bytes{})), "00 01 00 00 00 04 00 01 01 01");
    EXPECT_EQ(to_hex(m.frame().value_or(Bytes{})), "00 02 00 00 00 04 00 01 01 01");
}

TEST(LiveValues, AnalogInputsStayInTheirRangesAndMove)
{
    // Channel 1: 0..20 mA, 2: 0..150 mV, 3: 0..1 V, 4: -150..150 mV, 5: 0..10 V,
    // 6: 0..5 V, 7: 0..500 mV, 8: -10..10 V. Channels 5..7 start in the lower
    // half of their swing, where a unipolar range read as bipolar goes negative.
    Sim sim({"--model", "7301", "--range", "1=10", "--range", "2=1", "--range", "3=5", "--range", "4=0",
             "--range", "5=9", "--range", "6=7", "--range", "7=3"});
    ASSERT_TRUE(sim.start()) << sim.error();
    ModbusClient c(sim.modbus_port());
    const double low[] = {0, 0, 0, -150, 0, 0, 0, -10};
    const double high[] = {20, 150, 1, 150, 10, 5, 500, 10};
    Regs first, r;
    ASSERT_EQ(c.read_registers(256, 24, first), 24);
    bool moved = false;
    for (int i = 0; i < 250 && !moved; ++i) {
        ASSERT_EQ(c.read_registers(256, 24, r), 24);
        for (std::size_t ch = 0; ch < 8; ++ch) {
            double v = value_of(r, 3 * ch);
            EXPECT_GE(v, low[ch]) << "channel " << ch + 1;
            EXPECT_LE(v, high[ch]) << "channel " << ch + 1;
            EXPECT_LE(r[3 * ch + 2], 9) << "one digit after the point";
        }
        moved = r != first;
        if (!moved)
            std::this_thread::sleep_for(20ms);   // values move with time: give it some
    }
    EXPECT_TRUE(moved) << "no live value changed within 5 s";
}

TEST(LiveValues, ThermocouplesAndInputsArePlausible)
{
    Sim sim({"--model", "7303"});
    ASSERT_TRUE(sim.start()) << sim.error();
    ModbusClient c(sim.modbus_port());
    Regs r;
    ASSERT_EQ(c.read_registers(512, 15, r), 15);
    for (std::size_t ch = 0; ch < 3; ++ch) {
        const std::size_t at = 5 * ch;
        EXPECT_EQ(r[at] >> 8, 1) << "tc_en 7 enables every channel";
        double t = value_of(r, at);
        EXPECT_GT(t, 10.0);
        EXPECT_LT(t, 40.0);
        double ref = (r[at + 3] >> 8) + (r[at + 3] & 0xFF) / 10.0;
        EXPECT_GT(ref, 20.0);
        EXPECT_LT(ref, 30.0);
        EXPECT_EQ(r[at + 4], 0) << "positive reference, no fault";
    }

    Sim sim2({"--model", "7302"});
    ASSERT_TRUE(sim2.start()) << sim2.error();
    ModbusClient c2(sim2.modbus_port());
    std::vector<std::uint8_t> bits, before;
    ASSERT_EQ(c2.read_input_bits(0, 16, before), 16);
    bool moved = false;
    for (int i = 0; i < 150 && !moved; ++i) {
        std::this_thread::sleep_for(20ms);
        ASSERT_EQ(c2.read_input_bits(0, 16, bits), 16);
        moved = bits != before;
    }
    EXPECT_TRUE(moved) << "live digital inputs never changed within 3 s";
}

TEST(Clients, SeveralAtOnceAndAStalledOneBlocksNoOther)
{
    Sim sim({"--model", "7301", "--ai", "2=1.5"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus stalled(sim.modbus_port());
    ASSERT_TRUE(stalled.send(hex("00 00 00 00 00 06 00 03")));   // half a request, never finished

    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            ModbusClient c(sim.modbus_port());
            Regs r;
            for (int i = 0; i < 50 && c.ctx() != nullptr; ++i)
                if (c.read_registers(259, 3, r) == 3 && r == Regs{0x0100, 1, 5})
                    ++good;
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(good, 200);
}
