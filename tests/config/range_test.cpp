// The analog-input range read and write: the lines in order, the polarity
// arithmetic, and how a failure part-way ends each of them.
#include "cfg_test.h"

#include <array>
#include <climits>
#include <string>

using namespace kivtest;

namespace {

constexpr unsigned char marker = 0xA5;

const Bytes get_polarity = line("G:ai_pl=\r\n");

Bytes polarity(const std::string &v)
{
    return line("A:ai_pl=" + v + "\r\n");
}

Bytes get_range(int n)
{
    return line("G:ai_range_" + std::to_string(n) + "=\r\n");
}

Bytes range(int n, int base)
{
    return line("A:ai_range_" + std::to_string(n) + "=" + std::to_string(base) + "\r\n");
}

Bytes set_range(int n, int base)
{
    return line("S:ai_range_" + std::to_string(n) + "=" + std::to_string(base) + "\r\n");
}

class Range : public CfgTest {
protected:
    int read(int first, int count, int size = 32, int timeout = 1000)
    {
        codes.fill(marker);
        n = -1;
        return KIV_Cfg_Get_AI_Range(handle, timeout, first, count, codes.data(), size, &n);
    }
    int write(int first, std::initializer_list<unsigned char> values, int timeout = 1000)
    {
        std::array<unsigned char, 32> out{};
        std::copy(values.begin(), values.end(), out.begin());
        const int count = static_cast<int>(values.size());
        return KIV_Cfg_Set_AI_Range(handle, timeout, first, count, out.data(), 32, count);
    }
    // Scripts the write of one channel's base value and its echo.
    void script_channel(int ch, int base)
    {
        peer.expect(set_range(ch, base)).send(line("A:ai_range_" + std::to_string(ch) + "=" +
                                                   std::to_string(base) + "\r\n"));
    }
    std::string codes_text() const
    {
        return std::string(reinterpret_cast<const char *>(codes.data()));
    }

    std::array<unsigned char, 40> codes{};
    int n = -1;
};

} // namespace

TEST_F(Range, ReadAsksPolarityThenEachChannelInOrder)
{
    // Polarity bits 1 and 3 set: 0b1010.
    peer.expect(get_polarity).send(polarity("10"));
    peer.expect(get_range(0)).send(range(0, 0));
    peer.expect(get_range(1)).send(range(1, 0));
    peer.expect(get_range(2)).send(range(2, 10));
    peer.expect(get_range(3)).send(range(3, 10));
    log_in();
    EXPECT_EQ(read(0, 4), KIV_OK);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(codes[0], 0) << "base 0, bit clear";
    EXPECT_EQ(codes[1], 1) << "base 0, bit set";
    EXPECT_EQ(codes[2], 10) << "the current range without its bit";
    EXPECT_EQ(codes[3], 10) << "10 with its bit stays 10";
    EXPECT_EQ(codes[4], marker);
}

TEST_F(Range, ReadFromALaterChannelUsesThatChannelsPolarityBit)
{
    // Bit 5 set, bit 6 clear.
    peer.expect(get_polarity).send(polarity("32"));
    peer.expect(get_range(5)).send(range(5, 8));
    peer.expect(get_range(6)).send(range(6, 8));
    log_in();
    EXPECT_EQ(read(5, 2), KIV_OK);
    EXPECT_EQ(codes[0], 9);
    EXPECT_EQ(codes[1], 8);
    EXPECT_EQ(n, 2);
}

TEST_F(Range, ReadTakesTheLow8BitsAfterTheFirstEquals)
{
    peer.expect(get_polarity).send(polarity("0"));
    peer.expect(get_range(0)).send(line("A:ai_range_0=262=7\r\n"));
    log_in();
    EXPECT_EQ(read(0, 1), KIV_OK);
    EXPECT_EQ(codes[0], 6);
}

TEST_F(Range, ReadOfChannel31UsesTheTopPolarityBit)
{
    peer.expect(get_polarity).send(polarity("2147483648"));
    peer.expect(get_range(31)).send(range(31, 4));
    log_in();
    EXPECT_EQ(read(31, 1), KIV_OK);
    EXPECT_EQ(codes[0], 5);
}

TEST_F(Range, ChannelTimeoutFailsTheReadInsteadOfReportingAStaleByte)
{
    peer.expect(get_polarity).send(polarity("0"));
    peer.expect(get_range(0)).send(range(0, 2));
    peer.expect(get_range(1));
    log_in();
    EXPECT_EQ(read(0, 3, 32, 200), KIV_ERR_TIMEOUT);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(codes[0], marker) << "no code stored on failure";
    EXPECT_EQ(codes[1], marker);
}

TEST_F(Range, ChannelDisconnectFailsTheRead)
{
    peer.expect(get_polarity).send(polarity("0"));
    peer.expect(get_range(0)).close();
    log_in();
    EXPECT_EQ(read(0, 2), KIV_ERR_DISCONNECTED);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(codes[0], marker);
}

TEST_F(Range, ChannelAnswerTooShortFailsWithTheErrorText)
{
    peer.expect(get_polarity).send(polarity("0"));
    peer.expect(get_range(0)).send(line("A:ai_ra="));
    log_in();
    EXPECT_EQ(read(0, 2), KIV_ERR_RESPONSE);
    EXPECT_EQ(codes_text(), "A:ai_ra=");
    EXPECT_EQ(n, 0);
}

TEST_F(Range, ChannelAnswerWithoutItsPrefixFailsWithTheErrorText)
{
    // An answer meant for another request is not taken as the channel's.
    peer.expect(get_polarity).send(polarity("0"));
    peer.expect(get_range(0)).send(line("A:ai_pl=3\r\n"));
    log_in();
    EXPECT_EQ(read(0, 2), KIV_ERR_RESPONSE);
    EXPECT_EQ(codes_text(), "A:ai_pl=3\r\n");
    EXPECT_EQ(n, 0);
}

TEST_F(Range, AnswersWithoutTheirLineEndFailTheRead)
{
    peer.expect(get_polarity).send(line("A:ai_pl=1"));
    peer.expect(get_polarity).send(polarity("0"));
    peer.expect(get_range(0)).send(line("A:ai_range_0=1"));
    log_in();
    EXPECT_EQ(read(0, 1), KIV_ERR_RESPONSE);
    EXPECT_EQ(codes_text(), "A:ai_pl=1");
    EXPECT_EQ(n, 9);
    EXPECT_EQ(read(0, 1), KIV_ERR_RESPONSE);
    EXPECT_EQ(codes_text(), "A:ai_range_0=1");
    EXPECT_EQ(n, 0);
}

TEST_F(Range, ChannelAnswerWithoutEqualsFailsWithTheTextWithoutCrLf)
{
    peer.expect(get_polarity).send(polarity("0"));
    peer.expect(get_range(0)).send(line("A:ai_range_0 4\r\n"));
    log_in();
    EXPECT_EQ(read(0, 1), KIV_ERR_RESPONSE);
    EXPECT_EQ(codes_text(), "A:ai_range_0 4");
    EXPECT_EQ(n, 16);
}

TEST_F(Range, PolarityAnswerRefusedAsksNoChannel)
{
    peer.expect(get_polarity).send(line("A:ai_p=1\r\n"));
    log_in();
    EXPECT_EQ(read(0, 8), KIV_ERR_RESPONSE);
    EXPECT_EQ(codes_text(), "A:ai_p=1\r\n");
    EXPECT_EQ(n, 10);
}

TEST_F(Range, ReadStoresNoMoreCodesThanTheBufferHolds)
{
    peer.expect(get_polarity).send(polarity("0"));
    peer.expect(get_range(0)).send(range(0, 2));
    peer.expect(get_range(1)).send(range(1, 4));
    log_in();
    EXPECT_EQ(read(0, 8, 2), KIV_OK);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(codes[0], 2);
    EXPECT_EQ(codes[1], 4);
    EXPECT_EQ(codes[2], marker);
}

TEST_F(Range, WriteSendsEachBaseValueThenThePolarityWord)
{
    // Module polarity 0xF0; codes 0, 1, 10, 7 on channels 0..3 set bits
    // 1, 2 and 3: 0xFE.
    peer.expect(get_polarity).send(polarity("240"));
    script_channel(0, 0);
    script_channel(1, 0);
    script_channel(2, 10);
    script_channel(3, 6);
    peer.expect(line("S:ai_pl=254\r\n")).send(line("A:ai_pl=254\r\n"));
    log_in();
    EXPECT_EQ(write(0, {0, 1, 10, 7}), KIV_OK);
}

TEST_F(Range, WriteOfAnEvenCodeClearsTheChannelsBit)
{
    peer.expect(get_polarity).send(polarity("255"));
    script_channel(3, 2);
    peer.expect(line("S:ai_pl=247\r\n")).send(line("A:ai_pl=247\r\n"));
    log_in();
    EXPECT_EQ(write(3, {2}), KIV_OK);
}

TEST_F(Range, WriteOnChannel31SendsTheWordSigned)
{
    peer.expect(get_polarity).send(polarity("0"));
    script_channel(31, 8);
    peer.expect(line("S:ai_pl=-2147483648\r\n")).send(line("A:ai_pl=-2147483648\r\n"));
    log_in();
    EXPECT_EQ(write(31, {9}), KIV_OK);
}

TEST_F(Range, CodeAbove10IsSentAsItIsAndKeepsTheModulesBit)
{
    // Module polarity 0b10: bit 0 clear, bit 1 set; both stay.
    peer.expect(get_polarity).send(polarity("2"));
    script_channel(0, 11);
    script_channel(1, 200);
    peer.expect(line("S:ai_pl=2\r\n")).send(line("A:ai_pl=2\r\n"));
    log_in();
    EXPECT_EQ(write(0, {11, 200}), KIV_OK);
}

TEST_F(Range, WriteFailingAtTheThirdChannelLeavesThePolarityWordUntouched)
{
    peer.expect(get_polarity).send(polarity("0"));
    script_channel(0, 2);
    script_channel(1, 4);
    peer.expect(set_range(2, 6)); // no answer: the script ends, nothing more may come
    log_in();
    EXPECT_EQ(write(0, {3, 5, 7, 9}, 200), KIV_ERR_RESPONSE)
        << "the channel exchange's own code is not passed on";
}

TEST_F(Range, WriteWithAWrongChannelEchoStopsThere)
{
    peer.expect(get_polarity).send(polarity("0"));
    script_channel(0, 2);
    peer.expect(set_range(1, 4)).send(line("A:ai_range_1=04\r\n"));
    log_in();
    EXPECT_EQ(write(0, {2, 4, 6}), KIV_ERR_RESPONSE);
}

TEST_F(Range, WritePolarityAnswerThatStatesNoValueSendsNothingMore)
{
    const char *faults[] = {"A:ai_p=0\r\n", " A:ai_pl=1\r\n", "A:ai_pl=\r\n", "A:ai_pl=5",
                            "A:ai_pl=x1\r\n"};
    for (const char *f : faults)
        peer.expect(get_polarity).send(line(f));
    peer.expect_closed();
    log_in();
    for (const char *f : faults)
        EXPECT_EQ(write(0, {2}), KIV_ERR_RESPONSE) << f;
    KIV_Cfg_Exit(handle);
    handle = -1;
}

TEST_F(Range, WritePolarityExchangeFailureGivesItsCode)
{
    peer.expect(get_polarity).send(polarity("0"));
    script_channel(0, 2);
    peer.expect(line("S:ai_pl=0\r\n")).close();
    log_in();
    EXPECT_EQ(write(0, {2}), KIV_ERR_DISCONNECTED);
}

TEST_F(Range, WritePolarityEchoMismatchIsRefused)
{
    peer.expect(get_polarity).send(polarity("0"));
    script_channel(0, 2);
    peer.expect(line("S:ai_pl=0\r\n")).send(line("A:ai_pl=1\r\n"));
    log_in();
    EXPECT_EQ(write(0, {2}), KIV_ERR_RESPONSE);
}

TEST_F(Range, FirstExchangeFailureGivesItsCode)
{
    peer.expect(get_polarity).expect(get_polarity);
    log_in();
    EXPECT_EQ(read(0, 1, 32, 100), KIV_ERR_TIMEOUT);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(write(0, {2}, 100), KIV_ERR_TIMEOUT);
}

TEST_F(Range, WindowOutsideTheWordIsRefusedWithNothingSent)
{
    log_in();
    std::array<unsigned char, 32> out{};
    const std::array<std::array<int, 2>, 6> bad{
        {{-1, 1}, {0, -1}, {30, 3}, {32, 1}, {INT_MAX, 1}, {INT_MIN, 2}}};
    for (const auto &[first, count] : bad) {
        SCOPED_TRACE(std::to_string(first) + "," + std::to_string(count));
        EXPECT_EQ(read(first, count), KIV_ERR_PARAM);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(codes[0], marker);
        EXPECT_EQ(KIV_Cfg_Set_AI_Range(handle, 100, first, count, out.data(), 32, count),
                  KIV_ERR_PARAM);
    }
    EXPECT_EQ(KIV_Cfg_Get_AI_Range(handle, 100, 0, 1, nullptr, 8, &n), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_Cfg_Get_AI_Range(handle, 100, 0, 1, codes.data(), 8, nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_Cfg_Set_AI_Range(handle, 100, 0, 1, nullptr, 8, 1), KIV_ERR_PARAM);
}
