// The examples' decoders print whole records only and read nothing past the
// received length: the bytes sit in a heap block of exactly that length, so
// the sanitizer build catches any read beyond it.
#include "bytes.h"
#include "capture.h"

#include <gtest/gtest.h>

void parseAIdata(unsigned char *data, int length);
void parseTCdata(unsigned char *data, int length);

using namespace kivtest;

namespace {

std::string decode(void (*parse)(unsigned char *, int), Bytes data)
{
    StdoutCapture out;
    parse(data.empty() ? nullptr : data.data(), static_cast<int>(data.size()));
    return out.take();
}

} // namespace

TEST(AiDecoder, PrintsEachRecord)
{
    EXPECT_EQ(decode(parseAIdata, hex("01 01 00 0C 00 05 02 02 00 0C 00 32")),
              "AI:enable,Value:-12.5\r\nAI:disable,Value:12.50\r\n");
}

TEST(AiDecoder, SkipsAPartialLastRecord)
{
    EXPECT_EQ(decode(parseAIdata, hex("01 00 00 01 00 02 01 00 00")), "AI:enable,Value:1.2\r\n");
    EXPECT_EQ(decode(parseAIdata, hex("01 00 00 01 00")), "");
    EXPECT_EQ(decode(parseAIdata, {}), "");
}

TEST(AiDecoder, LargestPartsPrintInFull)
{
    EXPECT_EQ(decode(parseAIdata, hex("01 01 FF FF FF FF")), "AI:enable,Value:-65535.65535\r\n");
}

TEST(TcDecoder, PrintsFaultsBeforeTheTemperature)
{
    EXPECT_EQ(decode(parseTCdata, hex("01 00 00 19 00 05 18 03 00 00")),
              "TC:enable,Temperature:25.5\r\nReference:24.3\r\n");
    EXPECT_EQ(decode(parseTCdata, hex("01 00 00 19 00 05 00 07 01 07")),
              "TC:enable,Fault:Open\r\nFault:Short to GND\r\nFault:Short to VCC\r\n"
              "Temperature:25.5\r\nReference:-0.7\r\n");
    EXPECT_EQ(decode(parseTCdata, hex("02 02 00 19 00 05 18 03 02 F8")),
              "TC:disable,Temperature:25.5\r\nReference:24.3\r\n");
}

TEST(TcDecoder, SkipsAPartialLastRecord)
{
    EXPECT_EQ(decode(parseTCdata, hex("01 00 00 01 00 01 00 00 00 00 01 00 00 01")),
              "TC:enable,Temperature:1.1\r\nReference:0.0\r\n");
    EXPECT_EQ(decode(parseTCdata, hex("01 00 00 01 00 01 00 00 00")), "");
}
