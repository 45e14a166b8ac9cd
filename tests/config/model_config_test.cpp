// The model configuration calls of ZRM-7301 and ZRM-7303: each one's
// channel check (nothing sent, nothing in the caller's memory changed) and
// the 1-based channels mapped onto the generic parameter functions.
#include "cfg_test.h"

#include <array>
#include <climits>
#include <functional>
#include <string>
#include <vector>

using namespace kivtest;

namespace {

constexpr unsigned char marker = 0xA5;

// A model call on the handle, the caller's buffer (64 bytes) and length.
struct ModelCall {
    const char *name;
    int channels;
    // first, count, buffer, size, length
    std::function<int(int, int, int, unsigned char *, int, int *)> call;
};

const ModelCall model_calls[] = {
    {"Zrm7301GetAiEnable", 8,
     [](int h, int f, int c, unsigned char *b, int s, int *l) {
         return KIV_Cfg_ZRM_7301_Get_AI_Enable(h, 100, f, c, b, s, l);
     }},
    {"Zrm7301SetAiEnable", 8,
     [](int h, int f, int c, unsigned char *, int, int *) {
         return KIV_Cfg_ZRM_7301_Set_AI_Enable(h, 100, f, c, 0x55);
     }},
    {"Zrm7301GetAiRange", 8,
     [](int h, int f, int c, unsigned char *b, int s, int *l) {
         return KIV_Cfg_ZRM_7301_Get_AI_Range(h, 100, f, c, b, s, l);
     }},
    {"Zrm7301SetAiRange", 8,
     [](int h, int f, int c, unsigned char *b, int s, int *) {
         return KIV_Cfg_ZRM_7301_Set_AI_Range(h, 100, f, c, b, s);
     }},
    {"Zrm7303GetTcEnable", 3,
     [](int h, int f, int c, unsigned char *b, int s, int *l) {
         return KIV_Cfg_ZRM_7303_Get_TC_Enable(h, 100, f, c, b, s, l);
     }},
    {"Zrm7303SetTcEnable", 3,
     [](int h, int f, int c, unsigned char *, int, int *) {
         return KIV_Cfg_ZRM_7303_Set_TC_Enable(h, 100, f, c, 2);
     }},
};

void PrintTo(const ModelCall &m, std::ostream *os)
{
    *os << m.name;
}

std::string name_of(const ::testing::TestParamInfo<ModelCall> &info)
{
    return info.param.name;
}

class ChannelCheck : public CfgTest, public ::testing::WithParamInterface<ModelCall> {};

} // namespace

INSTANTIATE_TEST_SUITE_P(Models, ChannelCheck, ::testing::ValuesIn(model_calls), name_of);

TEST_P(ChannelCheck, OutOfRangeChannelsAreRefusedWithNothingSentOrChanged)
{
    // The script is the login alone: any line sent fails the test.
    log_in();
    const int n = GetParam().channels;
    const std::vector<std::array<int, 2>> bad = {
        {0, 1}, {-1, 1}, {n + 1, 1}, {1, 0}, {1, -1}, {1, n + 1}, {n, 2},
        {2, n}, {INT_MIN, 1}, {INT_MAX, 1}, {1, INT_MAX}, {INT_MAX, INT_MAX}, {257, 1}};
    for (const auto &[first, count] : bad) {
        SCOPED_TRACE(std::to_string(first) + "," + std::to_string(count));
        std::array<unsigned char, 64> buf{};
        buf.fill(marker);
        int len = -7;
        EXPECT_EQ(GetParam().call(handle, first, count, buf.data(), 64, &len), KIV_ERR_PARAM);
        EXPECT_EQ(len, -7);
        for (unsigned char b : buf)
            ASSERT_EQ(b, marker);
    }
}

TEST_P(ChannelCheck, NullPointersAreRefusedWithNothingSent)
{
    log_in();
    std::array<unsigned char, 64> buf{};
    buf.fill(marker);
    int len = -7;
    const ModelCall &m = GetParam();
    const std::string name = m.name;
    if (name.find("Get") != std::string::npos) {
        EXPECT_EQ(m.call(handle, 1, 1, nullptr, 64, &len), KIV_ERR_PARAM);
        EXPECT_EQ(m.call(handle, 1, 1, buf.data(), 64, nullptr), KIV_ERR_PARAM);
        EXPECT_EQ(m.call(handle, 1, 1, buf.data(), 0, &len), KIV_ERR_PARAM);
        EXPECT_EQ(len, -7);
        EXPECT_EQ(buf[0], marker);
    } else if (name.find("Range") != std::string::npos) {
        EXPECT_EQ(m.call(handle, 1, 1, nullptr, 64, &len), KIV_ERR_PARAM);
    }
}

namespace {

class Zrm7301 : public CfgTest {
protected:
    std::array<unsigned char, 32> buf{};
    int len = -1;
};
using Zrm7303 = Zrm7301;

} // namespace

TEST_F(Zrm7301, SetAiEnableOfAllEightReplacesBits0To7Only)
{
    // 0x1AA: bit 8 belongs to no channel of the call and stays.
    peer.expect(line("G:ai_en=\r\n")).send(line("A:ai_en=426\r\n"));
    peer.expect(line("S:ai_en=341\r\n")).send(line("A:ai_en=341\r\n")); // 0x155
    log_in();
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Set_AI_Enable(handle, 1000, 1, 8, 0x55), KIV_OK);
}

TEST_F(Zrm7301, SetAiEnableIgnoresValueBitsFromCountOn)
{
    peer.expect(line("G:ai_en=\r\n")).send(line("A:ai_en=0\r\n"));
    peer.expect(line("S:ai_en=4\r\n")).send(line("A:ai_en=4\r\n"));
    log_in();
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Set_AI_Enable(handle, 1000, 3, 1, 0xFF), KIV_OK);
}

TEST_F(Zrm7301, GetAiEnableFromChannel3)
{
    // Channels 3 and 4 are bits 2 and 3: 0b0100 -> channel 3 on, 4 off.
    peer.expect(line("G:ai_en=\r\n")).send(line("A:ai_en=4\r\n"));
    log_in();
    buf.fill(marker);
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Get_AI_Enable(handle, 1000, 3, 2, buf.data(), 32, &len), KIV_OK);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(buf[1], marker);
}

TEST_F(Zrm7301, GetAiEnableHandsTheErrorTextThrough)
{
    peer.expect(line("G:ai_en=\r\n")).send(line("A:busy\r\n!"));
    log_in();
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Get_AI_Enable(handle, 1000, 1, 8, buf.data(), 32, &len),
              KIV_ERR_RESPONSE);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(buf.data())), "A:busy\r\n!");
    EXPECT_EQ(len, 9);
}

TEST_F(Zrm7301, GetAiRangeOfChannel8ReadsIndex7AndBit7)
{
    peer.expect(line("G:ai_pl=\r\n")).send(line("A:ai_pl=128\r\n"));
    peer.expect(line("G:ai_range_7=\r\n")).send(line("A:ai_range_7=6\r\n"));
    log_in();
    buf.fill(marker);
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Get_AI_Range(handle, 1000, 8, 1, buf.data(), 1, &len), KIV_OK);
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(len, 1);
}

TEST_F(Zrm7301, GetAiRangeNeedsABufferForEveryChannel)
{
    log_in();
    buf.fill(marker);
    len = -7;
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Get_AI_Range(handle, 1000, 1, 8, buf.data(), 7, &len),
              KIV_ERR_PARAM);
    EXPECT_EQ(len, -7);
    EXPECT_EQ(buf[0], marker);
}

TEST_F(Zrm7301, GetAiRangeOfAllEight)
{
    peer.expect(line("G:ai_pl=\r\n")).send(line("A:ai_pl=255\r\n"));
    for (int i = 0; i < 8; ++i)
        peer.expect(line("G:ai_range_" + std::to_string(i) + "=\r\n"))
            .send(line("A:ai_range_" + std::to_string(i) + "=" + std::to_string(i < 2 ? 10 : 2 * (i % 5)) + "\r\n"));
    log_in();
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Get_AI_Range(handle, 1000, 1, 8, buf.data(), 8, &len), KIV_OK);
    EXPECT_EQ(len, 8);
    const std::array<unsigned char, 8> expected{10, 10, 5, 7, 9, 1, 3, 5};
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(buf[i], expected[i]) << i;
}

TEST_F(Zrm7301, SetAiRangeNeedsACodeForEveryChannel)
{
    log_in();
    buf.fill(4);
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Set_AI_Range(handle, 1000, 1, 8, buf.data(), 4), KIV_ERR_PARAM);
}

TEST_F(Zrm7301, SetAiRangeOfAllEightWithTheExampleCodes)
{
    // 10, 9, 8, 7, 6, 5, 4, 3 on channels 1..8: bases 10 8 8 6 6 4 4 2,
    // polarity bits 0, 1, 3, 5, 7: 0xAB.
    peer.expect(line("G:ai_pl=\r\n")).send(line("A:ai_pl=0\r\n"));
    const int bases[] = {10, 8, 8, 6, 6, 4, 4, 2};
    for (int i = 0; i < 8; ++i) {
        const std::string set = "ai_range_" + std::to_string(i) + "=" + std::to_string(bases[i]) + "\r\n";
        peer.expect(line("S:" + set)).send(line("A:" + set));
    }
    peer.expect(line("S:ai_pl=171\r\n")).send(line("A:ai_pl=171\r\n"));
    log_in();
    const std::array<unsigned char, 32> codes{10, 9, 8, 7, 6, 5, 4, 3};
    std::array<unsigned char, 32> sent = codes;
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Set_AI_Range(handle, 1000, 1, 8, sent.data(), 32), KIV_OK);
    EXPECT_EQ(sent, codes) << "the caller's codes are not changed";
}

TEST_F(Zrm7301, SetAiRangeWithSizeEqualToCountProceeds)
{
    peer.expect(line("G:ai_pl=\r\n")).send(line("A:ai_pl=0\r\n"));
    peer.expect(line("S:ai_range_2=4\r\n")).send(line("A:ai_range_2=4\r\n"));
    peer.expect(line("S:ai_pl=4\r\n")).send(line("A:ai_pl=4\r\n"));
    log_in();
    unsigned char code = 5;
    EXPECT_EQ(KIV_Cfg_ZRM_7301_Set_AI_Range(handle, 1000, 3, 1, &code, 1), KIV_OK);
}

TEST_F(Zrm7303, SetTcEnableOfAllThree)
{
    peer.expect(line("G:tc_en=\r\n")).send(line("A:tc_en=5\r\n"));
    peer.expect(line("S:tc_en=2\r\n")).send(line("A:tc_en=2\r\n"));
    log_in();
    EXPECT_EQ(KIV_Cfg_ZRM_7303_Set_TC_Enable(handle, 1000, 1, 3, 2), KIV_OK);
}

TEST_F(Zrm7303, SetTcEnableFromChannel2TouchesBits1And2Only)
{
    peer.expect(line("G:tc_en=\r\n")).send(line("A:tc_en=255\r\n"));
    peer.expect(line("S:tc_en=249\r\n")).send(line("A:tc_en=249\r\n"));
    log_in();
    EXPECT_EQ(KIV_Cfg_ZRM_7303_Set_TC_Enable(handle, 1000, 2, 2, 0), KIV_OK);
}

TEST_F(Zrm7303, SetTcEnableWithAnUnexpectedAnswerGivesOnlyTheCode)
{
    peer.expect(line("G:tc_en=\r\n")).send(line("A:tc_en=0\r\n"));
    peer.expect(line("S:tc_en=2\r\n")).send(line("A:error\r\n"));
    log_in();
    EXPECT_EQ(KIV_Cfg_ZRM_7303_Set_TC_Enable(handle, 1000, 1, 3, 2), KIV_ERR_RESPONSE);
}

TEST_F(Zrm7303, GetTcEnableOfChannels2And3)
{
    peer.expect(line("G:tc_en=\r\n")).send(line("A:tc_en=6\r\n"));
    log_in();
    EXPECT_EQ(KIV_Cfg_ZRM_7303_Get_TC_Enable(handle, 1000, 2, 2, buf.data(), 32, &len), KIV_OK);
    EXPECT_EQ(buf[0], 0x03);
    EXPECT_EQ(len, 1);
}
