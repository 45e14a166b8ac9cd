// Model I/O entry points of ZRM-7301, ZRM-7302 and ZRM-7303: the register
// map of each group, the channel checks, and what reaches the caller.
#include "modbus_frames.h"
#include "peer_test.h"

#include <array>
#include <functional>
#include <vector>

using namespace kivtest;

namespace {



Bytes counting(std::size_t n)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(i + 1);
    return b;
}

constexpr unsigned char read_coils = 0x01, read_inputs = 0x02, read_registers = 0x03;
constexpr unsigned char marker = 0xA5;

// A buffer read: a call and the request it must send.
struct BufferRead {
    const char *name;
    std::function<int(int, unsigned char *, int, int *)> call;
    Bytes expected;
    std::size_t data_len; // bytes the module answers with
};

void PrintTo(const BufferRead &r, std::ostream *os)
{
    *os << r.name;
}

class ModelBufferRead : public PeerTest, public ::testing::WithParamInterface<BufferRead> {};

using namespace std::placeholders;

std::function<int(int, unsigned char *, int, int *)>
ranged(int (*fn)(int, int, unsigned char, unsigned char, unsigned char *, int, int *),
       unsigned char first, unsigned char count)
{
    return [=](int h, unsigned char *b, int s, int *l) { return fn(h, 1000, first, count, b, s, l); };
}

const BufferRead buffer_reads[] = {
    {"AI_1_to_8", ranged(KIV_ZRM_7301_AI_Read, 1, 8), read_request(read_registers, 256, 24), 48},
    {"AI_3_to_4", ranged(KIV_ZRM_7301_AI_Read, 3, 2), read_request(read_registers, 262, 6), 12},
    {"AI_1", ranged(KIV_ZRM_7301_AI_Read, 1, 1), read_request(read_registers, 256, 3), 6},
    {"AI_8", ranged(KIV_ZRM_7301_AI_Read, 8, 1), read_request(read_registers, 277, 3), 6},
    {"TC_1_to_3", ranged(KIV_ZRM_7303_TC_Read, 1, 3), read_request(read_registers, 512, 15), 30},
    {"TC_2_to_3", ranged(KIV_ZRM_7303_TC_Read, 2, 2), read_request(read_registers, 517, 10), 20},
    {"TC_1", ranged(KIV_ZRM_7303_TC_Read, 1, 1), read_request(read_registers, 512, 5), 10},
    {"TC_3", ranged(KIV_ZRM_7303_TC_Read, 3, 1), read_request(read_registers, 522, 5), 10},
    {"DI7302_1_to_16", ranged(KIV_ZRM_7302_DI_Read, 1, 16), read_request(read_inputs, 0, 16), 2},
    {"DI7302_1", ranged(KIV_ZRM_7302_DI_Read, 1, 1), read_request(read_inputs, 0, 1), 1},
    {"DI7302_16", ranged(KIV_ZRM_7302_DI_Read, 16, 1), read_request(read_inputs, 15, 1), 1},
    {"DI7303_1_to_2", ranged(KIV_ZRM_7303_DI_Read, 1, 2), read_request(read_inputs, 0, 2), 1},
    {"DI7303_1", ranged(KIV_ZRM_7303_DI_Read, 1, 1), read_request(read_inputs, 0, 1), 1},
    {"DI7303_2", ranged(KIV_ZRM_7303_DI_Read, 2, 1), read_request(read_inputs, 1, 1), 1},
    {"Sensor",
     [](int h, unsigned char *b, int s, int *l) { return KIV_ZRM_7302_Sensor_Read(h, 1000, b, s, l); },
     read_request(read_registers, 0, 24), 48},
};

} // namespace

TEST_P(ModelBufferRead, SendsTheMappedRequestAndPassesTheDataThrough)
{
    const auto &r = GetParam();
    const Bytes data = counting(r.data_len);
    peer.expect(r.expected).send(read_reply(r.expected[7], data));
    connect_to_peer();
    std::array<unsigned char, 64> buf;
    buf.fill(marker);
    int len = -1;
    ASSERT_EQ(r.call(handle, buf.data(), 64, &len), KIV_OK);
    ASSERT_EQ(len, static_cast<int>(r.data_len));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
    EXPECT_EQ(buf[r.data_len], marker);
}

TEST_P(ModelBufferRead, ExceptionCodeReachesTheCaller)
{
    const auto &r = GetParam();
    peer.expect(r.expected)
        .send(exception_reply(r.expected[7], 0x02));
    connect_to_peer();
    std::array<unsigned char, 64> buf;
    buf.fill(marker);
    int len = -1;
    EXPECT_EQ(r.call(handle, buf.data(), 64, &len), KIV_ERR_EXCEPTION);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(buf[0], 0x02);
}

INSTANTIATE_TEST_SUITE_P(Groups, ModelBufferRead, ::testing::ValuesIn(buffer_reads),
                         [](const auto &p) { return std::string(p.param.name); });

// Every rejected channel argument: KIV_ERR_PARAM, nothing sent, nothing of
// the caller's changed.
using ChannelCheck = PeerTest;

TEST_F(ChannelCheck, RefusesBeforeSending)
{
    peer.expect_closed();
    connect_to_peer();
    struct Bad {
        unsigned char first, count;
    };
    const std::vector<Bad> ai = {{0, 1}, {1, 0}, {9, 1}, {1, 9}, {8, 2}, {2, 8}, {255, 2}, {2, 255}};
    const std::vector<Bad> tc = {{0, 1}, {1, 0}, {4, 1}, {1, 4}, {2, 3}, {3, 2}, {255, 255}};
    const std::vector<Bad> di16 = {{0, 1}, {1, 0}, {17, 1}, {1, 17}, {9, 9}, {16, 2}};
    const std::vector<Bad> di2 = {{0, 1}, {1, 0}, {3, 1}, {1, 3}, {2, 2}};
    const std::vector<Bad> do8 = {{0, 1}, {1, 0}, {9, 1}, {1, 9}, {8, 2}, {5, 5}};

    std::array<unsigned char, 64> buf;
    buf.fill(marker);
    int len = -7;
    unsigned char value = marker;
    auto untouched = [&] {
        return len == -7 && value == marker &&
               std::all_of(buf.begin(), buf.end(), [](unsigned char b) { return b == marker; });
    };
    auto check = [&](const char *group, const std::vector<Bad> &bad, auto call) {
        for (const auto &b : bad) {
            EXPECT_EQ(call(b.first, b.count), KIV_ERR_PARAM)
                << group << " first " << int{b.first} << " count " << int{b.count};
            EXPECT_TRUE(untouched()) << group;
        }
    };
    check("7301 AI", ai, [&](unsigned char f, unsigned char c) {
        return KIV_ZRM_7301_AI_Read(handle, 100, f, c, buf.data(), 64, &len);
    });
    check("7303 TC", tc, [&](unsigned char f, unsigned char c) {
        return KIV_ZRM_7303_TC_Read(handle, 100, f, c, buf.data(), 64, &len);
    });
    check("7302 DI", di16, [&](unsigned char f, unsigned char c) {
        return KIV_ZRM_7302_DI_Read(handle, 100, f, c, buf.data(), 64, &len);
    });
    check("7303 DI", di2, [&](unsigned char f, unsigned char c) {
        return KIV_ZRM_7303_DI_Read(handle, 100, f, c, buf.data(), 64, &len);
    });
    check("7302 DO read", do8, [&](unsigned char f, unsigned char c) {
        return KIV_ZRM_7302_DO_Read(handle, 100, f, c, &value);
    });
    check("7302 DO write", do8, [&](unsigned char f, unsigned char c) {
        return KIV_ZRM_7302_DO_Write(handle, 100, f, c, 0x55);
    });
    for (int channel : {0, 9, 255}) {
        EXPECT_EQ(KIV_ZRM_7302_DO_Write_bit(handle, 100, static_cast<unsigned char>(channel), 1),
                  KIV_ERR_PARAM)
            << "channel " << channel;
    }
}

namespace {

// Output reads: one byte, copied only when the module sent one.
struct OutputRead {
    const char *name;
    std::function<int(int, unsigned char *)> call;
    Bytes expected;
};

void PrintTo(const OutputRead &r, std::ostream *os)
{
    *os << r.name;
}

class ModelOutputRead : public PeerTest, public ::testing::WithParamInterface<OutputRead> {
protected:
    unsigned char value = marker;
};

const OutputRead output_reads[] = {
    {"7301", [](int h, unsigned char *v) { return KIV_ZRM_7301_DO_Read(h, 1000, v); },
     read_request(read_coils, 0, 1)},
    {"7303", [](int h, unsigned char *v) { return KIV_ZRM_7303_DO_Read(h, 1000, v); },
     read_request(read_coils, 0, 1)},
    {"7302_1_to_8", [](int h, unsigned char *v) { return KIV_ZRM_7302_DO_Read(h, 1000, 1, 8, v); },
     read_request(read_coils, 0, 8)},
    {"7302_8", [](int h, unsigned char *v) { return KIV_ZRM_7302_DO_Read(h, 1000, 8, 1, v); },
     read_request(read_coils, 7, 1)},
};

} // namespace

TEST_P(ModelOutputRead, CopiesTheOutputByteOnSuccess)
{
    peer.expect(GetParam().expected).send(read_reply(read_coils, hex("81")));
    connect_to_peer();
    EXPECT_EQ(GetParam().call(handle, &value), KIV_OK);
    EXPECT_EQ(value, 0x81);
}

TEST_P(ModelOutputRead, ExceptionLeavesTheByteAndHandsNoCodeOn)
{
    peer.expect(GetParam().expected).send(hex("00 00 00 00 00 03 00 81 02"));
    connect_to_peer();
    EXPECT_EQ(GetParam().call(handle, &value), KIV_ERR_EXCEPTION);
    EXPECT_EQ(value, marker);
}

TEST_P(ModelOutputRead, FailureLeavesTheByte)
{
    peer.expect(GetParam().expected).send(hex("00 00 00 00 00 02 00 01"));
    connect_to_peer();
    EXPECT_EQ(GetParam().call(handle, &value), KIV_ERR_RESPONSE);
    EXPECT_EQ(value, marker);
}

TEST_P(ModelOutputRead, ReplyWithoutADataByteLeavesTheByte)
{
    peer.expect(GetParam().expected).send(read_reply(read_coils, {}));
    connect_to_peer();
    EXPECT_EQ(GetParam().call(handle, &value), KIV_OK);
    EXPECT_EQ(value, marker);
}

TEST_P(ModelOutputRead, ReplyLongerThanTheScratchBufferIsSafe)
{
    peer.expect(GetParam().expected).send(read_reply(read_coils, counting(20)));
    connect_to_peer();
    EXPECT_EQ(GetParam().call(handle, &value), KIV_OK);
    EXPECT_EQ(value, 1);
}

INSTANTIATE_TEST_SUITE_P(Groups, ModelOutputRead, ::testing::ValuesIn(output_reads),
                         [](const auto &p) { return std::string(p.param.name); });

namespace {

const Bytes single_echo = hex("00 00 00 00 00 06 00 05 00 00 FF 00");

Bytes write_single(int coil, bool on)
{
    return {0, 0, 0, 0, 0, 6, 0, 0x05, 0, static_cast<unsigned char>(coil),
            static_cast<unsigned char>(on ? 0xFF : 0x00), 0};
}

} // namespace

using ModelWrite = PeerTest;

TEST_F(ModelWrite, SingleOutputModelsTakeAStateNotAMask)
{
    for (int model = 0; model < 2; ++model)
        for (bool on : {true, false, false, false})
            peer.expect(write_single(0, on)).send(single_echo);
    connect_to_peer();
    for (auto fn : {KIV_ZRM_7301_DO_Write, KIV_ZRM_7303_DO_Write})
        for (int v : {1, 0, 2, 0xFF})
            EXPECT_EQ(fn(handle, 1000, static_cast<unsigned char>(v)), KIV_OK) << v;
}

TEST_F(ModelWrite, OneChannelOf7302IsAState)
{
    peer.expect(write_single(1, true)).send(single_echo);
    peer.expect(write_single(1, false)).send(single_echo);
    peer.expect(write_single(1, false)).send(single_echo);
    peer.expect(write_single(7, true)).send(single_echo);
    peer.expect(write_single(0, false)).send(single_echo);
    connect_to_peer();
    EXPECT_EQ(KIV_ZRM_7302_DO_Write_bit(handle, 1000, 2, 1), KIV_OK);
    EXPECT_EQ(KIV_ZRM_7302_DO_Write_bit(handle, 1000, 2, 2), KIV_OK);
    EXPECT_EQ(KIV_ZRM_7302_DO_Write_bit(handle, 1000, 2, 0xFF), KIV_OK);
    EXPECT_EQ(KIV_ZRM_7302_DO_Write(handle, 1000, 8, 1, 1), KIV_OK);
    EXPECT_EQ(KIV_ZRM_7302_DO_Write(handle, 1000, 1, 1, 0x55), KIV_OK) << "0x55 is not 1: off";
}

TEST_F(ModelWrite, SeveralChannelsOf7302AreAMask)
{
    peer.expect(hex("00 00 00 00 00 08 00 0F 00 00 00 08 01 55"))
        .send(hex("00 00 00 00 00 06 00 0F 00 00 00 08"))
        .expect(hex("00 00 00 00 00 08 00 0F 00 06 00 02 01 03"))
        .send(hex("00 00 00 00 00 06 00 0F 00 06 00 02"));
    connect_to_peer();
    EXPECT_EQ(KIV_ZRM_7302_DO_Write(handle, 1000, 1, 8, 0x55), KIV_OK);
    EXPECT_EQ(KIV_ZRM_7302_DO_Write(handle, 1000, 7, 2, 0x03), KIV_OK);
}

TEST_F(ModelWrite, ExceptionIsReportedWithoutItsCode)
{
    peer.expect(write_single(0, true)).send(hex("00 00 00 00 00 03 00 85 04"));
    connect_to_peer();
    EXPECT_EQ(KIV_ZRM_7301_DO_Write(handle, 1000, 1), KIV_ERR_EXCEPTION);
}

using ChannelRecords = PeerTest;

TEST_F(ChannelRecords, FullAiReadIsEightRecordsBackToBack)
{
    // Channel n: enabled, sign n odd, integer 100+n, fraction n.
    Bytes data;
    for (unsigned char n = 1; n <= 8; ++n)
        for (unsigned char b : {static_cast<unsigned char>(1), static_cast<unsigned char>(n & 1),
                                static_cast<unsigned char>(0), static_cast<unsigned char>(100 + n),
                                static_cast<unsigned char>(0), n})
            data.push_back(b);
    peer.expect(read_request(read_registers, 256, 24)).send(read_reply(read_registers, data));
    connect_to_peer();
    std::array<unsigned char, 64> buf{};
    int len = 0;
    ASSERT_EQ(KIV_ZRM_7301_AI_Read(handle, 1000, 1, 8, buf.data(), 64, &len), KIV_OK);
    ASSERT_EQ(len, 8 * KIV_AI_RECORD_SIZE);
    for (int n = 1; n <= 8; ++n) {
        const unsigned char *r = buf.data() + (n - 1) * KIV_AI_RECORD_SIZE;
        EXPECT_EQ(r[KIV_AI_ENABLE], 1);
        EXPECT_EQ(r[KIV_AI_SIGN], n & 1);
        EXPECT_EQ(r[KIV_AI_INTEGER] * 256 + r[KIV_AI_INTEGER + 1], 100 + n);
        EXPECT_EQ(r[KIV_AI_FRACTION] * 256 + r[KIV_AI_FRACTION + 1], n);
    }
}

TEST_F(ChannelRecords, FullTcReadIsThreeRecordsBackToBack)
{
    const Bytes data = hex("01 00 00 19 00 05 18 03 00 00"
                           "02 01 01 2C 00 32 00 07 01 07"
                           "01 FF 00 00 00 00 7F 63 FF F8");
    peer.expect(read_request(read_registers, 512, 15)).send(read_reply(read_registers, data));
    connect_to_peer();
    std::array<unsigned char, 64> buf{};
    int len = 0;
    ASSERT_EQ(KIV_ZRM_7303_TC_Read(handle, 1000, 1, 3, buf.data(), 64, &len), KIV_OK);
    ASSERT_EQ(len, 3 * KIV_TC_RECORD_SIZE);
    const unsigned char *second = buf.data() + KIV_TC_RECORD_SIZE;
    EXPECT_EQ(second[KIV_TC_ENABLE], 2);
    EXPECT_EQ(second[KIV_TC_SIGN], 1);
    EXPECT_EQ(second[KIV_TC_INTEGER] * 256 + second[KIV_TC_INTEGER + 1], 300);
    EXPECT_EQ(second[KIV_TC_FRACTION + 1], 50);
    EXPECT_EQ(second[KIV_TC_REF_INTEGER], 0);
    EXPECT_EQ(second[KIV_TC_REF_FRACTION], 7);
    EXPECT_EQ(second[KIV_TC_REF_SIGN], 1);
    EXPECT_EQ(second[KIV_TC_FAULTS],
              KIV_TC_FAULT_OPEN | KIV_TC_FAULT_SHORT_GND | KIV_TC_FAULT_SHORT_VCC);
    const unsigned char *third = buf.data() + 2 * KIV_TC_RECORD_SIZE;
    EXPECT_EQ(third[KIV_TC_FAULTS], 0xF8);
    EXPECT_EQ(third[KIV_TC_REF_INTEGER], 0x7F);
}
