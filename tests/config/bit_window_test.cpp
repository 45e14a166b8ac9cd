// The bit-window reads and writes of "u8_povp", "ai_en" and "tc_en": the
// lines sent, the window arithmetic, which answers are taken, the echo
// check, the error text and the window checks.
#include "cfg_test.h"

#include <array>
#include <climits>
#include <string>

using namespace kivtest;

namespace {

using GetFn = int (*)(int, int, int, int, unsigned char *, int, int *);
using SetFn = int (*)(int, int, int, int, int, unsigned char *, int, int *);

struct BitParam {
    const char *name;
    std::string key;
    GetFn get;
    SetFn set;
    std::size_t min_answer; // an answer must be longer than this
};

const BitParam bit_params[] = {
    {"PowerOnValue", "u8_povp", KIV_Cfg_Get_DO_PowerOnValue, KIV_Cfg_Set_DO_PowerOnValue, 12},
    {"AiEnable", "ai_en", KIV_Cfg_Get_AI_Enable, KIV_Cfg_Set_AI_Enable, 8},
    {"TcEnable", "tc_en", KIV_Cfg_Get_TC_Enable, KIV_Cfg_Set_TC_Enable, 8},
};

constexpr unsigned char marker = 0xA5;

class BitWindow : public CfgTest, public ::testing::WithParamInterface<BitParam> {
protected:
    const std::string &key() const { return GetParam().key; }
    Bytes get_line() const { return line("G:" + key() + "=\r\n"); }
    Bytes answer(const std::string &value) const { return line("A:" + key() + "=" + value + "\r\n"); }
    Bytes set_line(const std::string &value) const { return line("S:" + key() + "=" + value + "\r\n"); }
    // The module reports value, then is asked to write written and echoes.
    void script_write(const std::string &value, const std::string &written)
    {
        peer.expect(get_line()).send(answer(value)).expect(set_line(written)).send(answer(written));
    }

    int get(int first, int count, int size = 32)
    {
        data.fill(marker);
        n = -1;
        return GetParam().get(handle, 1000, first, count, data.data(), size, &n);
    }
    int set(int first, int count, int value, int size = 32, int timeout = 1000)
    {
        data.fill(marker);
        n = -1;
        return GetParam().set(handle, timeout, first, count, value, data.data(), size, &n);
    }
    std::string data_text() const { return std::string(reinterpret_cast<const char *>(data.data())); }

    std::array<unsigned char, 64> data{};
    int n = -1;
};

void PrintTo(const BitParam &p, std::ostream *os)
{
    *os << p.key;
}

std::string name_of(const ::testing::TestParamInfo<BitParam> &info)
{
    return info.param.name;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Params, BitWindow, ::testing::ValuesIn(bit_params), name_of);

TEST_P(BitWindow, ReadsTheWorkedWindowsOf85)
{
    peer.expect(get_line()).send(answer("85")).expect(get_line()).send(answer("85"));
    log_in();
    EXPECT_EQ(get(0, 8), KIV_OK);
    EXPECT_EQ(data[0], 0x55);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(data[1], marker);
    EXPECT_EQ(get(1, 3), KIV_OK);
    EXPECT_EQ(data[0], 0x02);
    EXPECT_EQ(n, 1);
}

TEST_P(BitWindow, CountZeroStillAsksAndGivesZero)
{
    peer.expect(get_line()).send(answer("255"));
    log_in();
    EXPECT_EQ(get(0, 0), KIV_OK);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(n, 1);
}

TEST_P(BitWindow, WindowBitsFromEightOnAreDropped)
{
    peer.expect(get_line()).send(answer("1023"));
    log_in();
    EXPECT_EQ(get(0, 10), KIV_OK);
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(data[1], marker);
}

TEST_P(BitWindow, TopBitOfTheWordIsRead)
{
    peer.expect(get_line()).send(answer("2147483648")).expect(get_line()).send(answer("-1"));
    log_in();
    EXPECT_EQ(get(31, 1), KIV_OK);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(get(28, 4), KIV_OK);
    EXPECT_EQ(data[0], 0x0F) << "-1 reads as all 32 bits set";
}

TEST_P(BitWindow, ValuesBeyond32BitsReadTheSameOnEveryBuild)
{
    // 4294967296 is 2^32: as a 64-bit unsigned long cut to 32 bits it would
    // read 0; a 32-bit strtoul gives 4294967295.
    peer.expect(get_line()).send(answer("4294967296")).expect(get_line()).send(answer("99999999999999999999"));
    log_in();
    EXPECT_EQ(get(24, 8), KIV_OK);
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(get(0, 8), KIV_OK);
    EXPECT_EQ(data[0], 0xFF);
}

TEST_P(BitWindow, AnswerAtItsMinimumLengthIsRefusedWithTheErrorText)
{
    const std::string full = "A:" + key() + "=5\r\n";
    const std::string cut = full.substr(0, GetParam().min_answer);
    peer.expect(get_line()).send(line(cut));
    log_in();
    EXPECT_EQ(get(0, 8), KIV_ERR_RESPONSE);
    EXPECT_EQ(data_text(), cut);
    EXPECT_EQ(n, static_cast<int>(cut.size()));
}

TEST_P(BitWindow, AnswerOneLongerIsTaken)
{
    // Prefix, one digit, CR LF: the shortest answer with a value.
    peer.expect(get_line()).send(answer("5"));
    log_in();
    EXPECT_EQ(get(0, 8), KIV_OK);
    EXPECT_EQ(data[0], 5);
}

TEST_P(BitWindow, AnswerWithoutThePrefixIsRefusedWithTheErrorText)
{
    peer.expect(get_line()).send(line("A:other=85\r\n"));
    log_in();
    EXPECT_EQ(get(0, 8), KIV_ERR_RESPONSE);
    EXPECT_EQ(data_text(), "A:other=85\r\n");
    EXPECT_EQ(n, 12);
}

TEST_P(BitWindow, PrefixNotAtTheStartIsReadAtTheFixedOffset)
{
    peer.expect(get_line()).send(line(" A:" + key() + "=85\r\n"));
    log_in();
    EXPECT_EQ(get(0, 8), KIV_OK);
    EXPECT_EQ(data[0], 0) << "the offset falls on the '='";
}

TEST_P(BitWindow, AnswerWhoseLineEndIsStillInFlightIsRefused)
{
    // One receive may end inside an answer: its digits may be cut short.
    const std::string partial = "A:" + key() + "=1333";
    peer.expect(get_line()).send(line(partial));
    log_in();
    EXPECT_EQ(get(0, 8), KIV_ERR_RESPONSE);
    EXPECT_EQ(data_text(), partial);
    EXPECT_EQ(n, static_cast<int>(partial.size()));
}

TEST_P(BitWindow, ErrorTextIsCutToTheBufferWithTheFullLengthInTheCount)
{
    peer.expect(get_line()).send(line("A:nothing-like-it\r\n"));
    log_in();
    EXPECT_EQ(get(0, 8, 5), KIV_ERR_RESPONSE);
    EXPECT_EQ(data_text(), "A:no");
    EXPECT_EQ(data[5], marker);
    EXPECT_EQ(n, 19);
}

TEST_P(BitWindow, ReadFailureWritesNothingButTheCount)
{
    peer.expect(get_line()).close();
    log_in();
    EXPECT_EQ(get(0, 8), KIV_ERR_DISCONNECTED);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(data[0], marker);
}

TEST_P(BitWindow, WriteReplacesTheWindowAndChecksTheEcho)
{
    // The worked value: 1 at bit 2 over 8 gives 12.
    script_write("8", "12");
    log_in();
    EXPECT_EQ(set(2, 1, 1), KIV_OK);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(data[0], marker);
}

TEST_P(BitWindow, WriteKeepsTheBitsOutsideTheWindow)
{
    script_write("65535", "61695"); // 0xFFFF, bits 4..11 from 0x0F: 0xF0FF
    script_write("61680", "57584"); // 0xF0F0, bit 12 cleared alone: 0xE0F0
    log_in();
    EXPECT_EQ(set(4, 8, 0x0F), KIV_OK);
    EXPECT_EQ(set(12, 1, 0x7E), KIV_OK) << "only bit 0 of the value counts";
}

TEST_P(BitWindow, WrittenWordIsSignedDecimal)
{
    script_write("4294967295", "-2");
    script_write("0", "-2147483648");
    log_in();
    EXPECT_EQ(set(0, 1, 0), KIV_OK);
    EXPECT_EQ(set(31, 1, 1), KIV_OK);
}

TEST_P(BitWindow, FullWordWrite)
{
    script_write("123", "-1430532899"); // 0xAABBCCDD
    log_in();
    EXPECT_EQ(set(0, 32, static_cast<int>(0xAABBCCDDu)), KIV_OK);
}

struct EchoFault {
    const char *name;
    std::string echo; // for the line "S:<key>=12\r\n"
};

TEST_P(BitWindow, EchoThatDiffersByOneCharacterIsRefused)
{
    const std::string prefix = "A:" + key() + "=";
    const EchoFault faults[] = {
        {"leading zero", prefix + "012\r\n"},
        {"other digit", prefix + "13\r\n"},
        {"S echoed", "S:" + key() + "=12\r\n"},
        {"no CR", prefix + "12\n"},
        {"no LF", prefix + "12\r"},
    };
    for (const auto &f : faults)
        peer.expect(get_line()).send(answer("8")).expect(set_line("12")).send(line(f.echo));
    log_in();
    for (const auto &f : faults) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(set(2, 1, 1), KIV_ERR_RESPONSE);
        EXPECT_EQ(data_text(), f.echo);
        EXPECT_EQ(n, static_cast<int>(f.echo.size()));
    }
}

TEST_P(BitWindow, EchoInsideALongerAnswerHolds)
{
    peer.expect(get_line()).send(answer("8")).expect(set_line("12")).send(line("ok " + std::string("A:") + key() + "=12\r\n"));
    log_in();
    EXPECT_EQ(set(2, 1, 1), KIV_OK);
}

TEST_P(BitWindow, WriteWithoutPrefixInTheFirstAnswerSendsNoSetLine)
{
    peer.expect(get_line()).send(line("A:wrong=8\r\n"));
    log_in();
    EXPECT_EQ(set(2, 1, 1), KIV_ERR_RESPONSE);
    EXPECT_EQ(data_text(), "A:wrong=8\r\n");
    EXPECT_EQ(n, 11);
}

TEST_P(BitWindow, WriteOnAnAnswerThatStatesNoValueSendsNothing)
{
    // Each would read as some word; writing it back with the window
    // replaced would overwrite every other bit of it.
    const std::string prefix = "A:" + key() + "=";
    const std::string faults[] = {
        "\n" + prefix + "255\r\n", // a stray byte first
        " " + prefix + "255\r\n",   // read at the fixed offset
        prefix + "junk\r\n",
        prefix + "\r\n",
        prefix + "+13\r\n",
        prefix + "13",                // the line end still in flight
        prefix + "13\r\n" + prefix + "5\r\n",
        prefix + "4294967296\r\n",  // more than the 32-bit word holds
    };
    for (const auto &f : faults)
        peer.expect(get_line()).send(line(f));
    peer.expect_closed();
    log_in();
    for (const auto &f : faults) {
        SCOPED_TRACE(f);
        EXPECT_EQ(set(2, 1, 1), KIV_ERR_RESPONSE);
        EXPECT_EQ(data_text(), f);
        EXPECT_EQ(n, static_cast<int>(f.size()));
    }
    KIV_Cfg_Exit(handle);
    handle = -1;
}

TEST_P(BitWindow, WriteErrorTextWithSizeZeroLeavesTheBuffer)
{
    peer.expect(get_line()).send(answer("8")).expect(set_line("12")).send(line("A:no\r\n"));
    log_in();
    EXPECT_EQ(set(2, 1, 1, 0), KIV_ERR_RESPONSE);
    EXPECT_EQ(data[0], marker);
    EXPECT_EQ(n, 6);
}

TEST_P(BitWindow, WriteGivesTheCodeOfAFailedExchange)
{
    peer.expect(get_line()).send(answer("8")).expect(set_line("12")).close();
    log_in();
    EXPECT_EQ(set(2, 1, 1), KIV_ERR_DISCONNECTED);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(data[0], marker);
}

TEST_P(BitWindow, WriteTimesOutOnTheFirstAnswerWithoutSettingAnything)
{
    peer.expect(get_line());
    log_in();
    EXPECT_EQ(set(2, 1, 1, 32, 200), KIV_ERR_TIMEOUT);
    EXPECT_EQ(n, 0);
}

TEST_P(BitWindow, WindowOutsideTheWordIsRefusedWithNothingSent)
{
    log_in();
    const std::array<std::array<int, 2>, 7> bad{{{-1, 1}, {0, -1}, {0, 33}, {31, 2}, {32, 1},
                                                 {INT_MAX, 1}, {1, INT_MAX}}};
    for (const auto &[first, count] : bad) {
        SCOPED_TRACE(std::to_string(first) + "," + std::to_string(count));
        EXPECT_EQ(get(first, count), KIV_ERR_PARAM);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(data[0], marker);
        EXPECT_EQ(set(first, count, 1), KIV_ERR_PARAM);
        EXPECT_EQ(n, 0);
    }
}

TEST_P(BitWindow, NullPointersAndAnEmptyReadBufferAreRefused)
{
    log_in();
    EXPECT_EQ(get(0, 8, 0), KIV_ERR_PARAM);
    EXPECT_EQ(GetParam().get(handle, 100, 0, 8, nullptr, 8, &n), KIV_ERR_PARAM);
    EXPECT_EQ(GetParam().get(handle, 100, 0, 8, data.data(), 8, nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(GetParam().set(handle, 100, 0, 8, 1, nullptr, 8, &n), KIV_ERR_PARAM);
    EXPECT_EQ(GetParam().set(handle, 100, 0, 8, 1, data.data(), 8, nullptr), KIV_ERR_PARAM);
}

// The two length limits differ where the value is empty.
using EmptyValue = CfgTest;

TEST_F(EmptyValue, EnableAnswerWithoutDigitsReadsZero)
{
    peer.expect(line("G:ai_en=\r\n")).send(line("A:ai_en=\r\n"));
    log_in();
    std::array<unsigned char, 4> data{};
    data.fill(marker);
    int n = -1;
    EXPECT_EQ(KIV_Cfg_Get_AI_Enable(handle, 1000, 0, 8, data.data(), 4, &n), KIV_OK);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(n, 1);
}

TEST_F(EmptyValue, PowerOnValueWithoutDigitsIsRefused)
{
    peer.expect(line("G:u8_povp=\r\n")).send(line("A:u8_povp=\r\n"));
    log_in();
    std::array<unsigned char, 32> data{};
    int n = -1;
    EXPECT_EQ(KIV_Cfg_Get_DO_PowerOnValue(handle, 1000, 0, 8, data.data(), 32, &n),
              KIV_ERR_RESPONSE);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data.data())), "A:u8_povp=\r\n");
    EXPECT_EQ(n, 12);
}
