// kiv.hpp without a module: result codes as error codes and in words, the
// record decoders on the records the examples' tests use, and the range
// labels.
#include "bytes.h"
#include "kiv.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace kivtest;

TEST(ErrorCategory, NamesTheLibrarysOwnCodes)
{
    EXPECT_STREQ(kiv::category().name(), "kiv");
    const std::pair<int, const char *> own[] = {
        {1000, "timeout"},          {1001, "disconnected by the module"},
        {1002, "Modbus exception"}, {1003, "unexpected response"},
        {1004, "argument out of range"}, {1005, "login refused"},
    };
    for (auto [code, text] : own) {
        std::error_code ec = kiv::to_error_code(code);
        EXPECT_EQ(&ec.category(), &kiv::category()) << code;
        EXPECT_EQ(ec.value(), code);
        EXPECT_EQ(ec.message(), text);
        EXPECT_EQ(kiv::result_text(code), text);
    }
    EXPECT_EQ(kiv::result_name(1000), "KIV_ERR_TIMEOUT");
    EXPECT_EQ(kiv::result_name(1005), "KIV_ERR_LOGIN");
    EXPECT_EQ(kiv::result_name(0), "KIV_OK");
    EXPECT_EQ(kiv::result_name(111), "ECONNREFUSED");
    EXPECT_EQ(kiv::result_name(EINTR), "EINTR");
    EXPECT_EQ(kiv::result_name(ENOLINK), "errno " + std::to_string(ENOLINK)) << "not named";
}

TEST(ErrorCategory, ErrnoValuesAreSystemErrors)
{
    std::error_code ec = kiv::to_error_code(ECONNREFUSED);
    EXPECT_EQ(&ec.category(), &std::system_category());
    EXPECT_EQ(ec, std::errc::connection_refused);
    EXPECT_EQ(kiv::result_text(ECONNREFUSED), "connection refused");
    EXPECT_EQ(kiv::result_text(EPIPE), "broken pipe");
    EXPECT_FALSE(kiv::to_error_code(KIV_OK));
    EXPECT_EQ(kiv::result_text(KIV_OK), "ok");
}

TEST(ErrorCategory, CodesOutsideBothRangesReadAsUnknown)
{
    EXPECT_EQ(kiv::result_text(1006), "unknown result code 1006");
    EXPECT_EQ(kiv::result_text(-1), "unknown result code -1");
    EXPECT_EQ(kiv::result_text(999), "unknown result code 999");
    EXPECT_EQ(kiv::category().message(1006), "unknown kiv result 1006");
}

TEST(ErrorCategory, EnumAndPortableConditionsCompare)
{
    std::error_code ec = kiv::errc::timeout;
    EXPECT_EQ(ec, kiv::to_error_code(KIV_ERR_TIMEOUT));
    EXPECT_EQ(ec, std::errc::timed_out);
    EXPECT_EQ(kiv::to_error_code(KIV_ERR_PARAM), std::errc::invalid_argument);
    EXPECT_NE(kiv::to_error_code(KIV_ERR_RESPONSE), std::errc::timed_out);
}

TEST(Result, HoldsAValueOrAFailure)
{
    kiv::result<int> good = 5;
    EXPECT_TRUE(good.ok());
    EXPECT_EQ(*good, 5);
    EXPECT_EQ(good.code(), 0);
    kiv::result<int> bad = kiv::errc::timeout;
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.code(), 1000);
    EXPECT_EQ(bad.value_or(7), 7);
    kiv::result<void> none;
    EXPECT_TRUE(none.ok());
    kiv::result<void> failed = kiv::to_error_code(EPIPE);
    EXPECT_EQ(failed.error(), std::errc::broken_pipe);
}

TEST(AiRecord, DecodesEnableSignAndParts)
{
    Bytes b = hex("01 01 00 0C 00 05 02 02 00 0C 00 32");
    auto channels = kiv::decode_ai_records(b);
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_TRUE(channels[0].enabled);
    EXPECT_EQ(channels[0].value, (kiv::reading{true, 12, 5}));
    EXPECT_EQ(channels[0].value.text(), "-12.5");
    EXPECT_DOUBLE_EQ(channels[0].value.number(), -12.5);
    // Enable 2 is disabled, sign 2 not negative; fraction 50 keeps its digits.
    EXPECT_FALSE(channels[1].enabled);
    EXPECT_EQ(channels[1].value.text(), "12.50");
    EXPECT_DOUBLE_EQ(channels[1].value.number(), 12.5);
}

TEST(AiRecord, LargestPartsAndSmallFractions)
{
    auto c = kiv::decode_ai(hex("01 01 FF FF FF FF"));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->value.text(), "-65535.65535");
    EXPECT_DOUBLE_EQ(c->value.number(), -65535.65535);
    EXPECT_DOUBLE_EQ(kiv::decode_ai(hex("01 00 00 00 00 07"))->value.number(), 0.7);
    EXPECT_DOUBLE_EQ(kiv::decode_ai(hex("01 00 00 03 00 19"))->value.number(), 3.25);
    EXPECT_EQ(kiv::decode_ai(hex("01 00 00 00 00 00"))->value.text(), "0.0");
    EXPECT_DOUBLE_EQ((kiv::reading{false, 1, 10}).number(), 1.10);
}

TEST(AiRecord, PartialRecordsAreLeftOut)
{
    EXPECT_FALSE(kiv::decode_ai(hex("01 00 00 01 00")));
    EXPECT_EQ(kiv::decode_ai_records(hex("01 00 00 01 00 02 01 00 00")).size(), 1u);
    EXPECT_TRUE(kiv::decode_ai_records({}).empty());
}

TEST(TcRecord, DecodesTemperatureReferenceAndFaults)
{
    // The three records of the thermo_poll run with fixed channels.
    Bytes b = hex("01 00 00 19 00 05 18 03 00 00"
                  "00 01 00 03 00 4b 00 07 01 07"
                  "01 00 01 2c 00 00 00 00 00 f8");
    auto tc = kiv::decode_tc_records(b);
    ASSERT_EQ(tc.size(), 3u);
    EXPECT_TRUE(tc[0].enabled);
    EXPECT_EQ(tc[0].temperature.text(), "25.5");
    EXPECT_EQ(tc[0].reference.text(), "24.3");
    EXPECT_DOUBLE_EQ(tc[0].reference.number(), 24.3);
    EXPECT_EQ(tc[0].faults, 0);

    EXPECT_FALSE(tc[1].enabled);
    EXPECT_EQ(tc[1].temperature.text(), "-3.75");
    EXPECT_DOUBLE_EQ(tc[1].temperature.number(), -3.75);
    EXPECT_EQ(tc[1].reference.text(), "-0.7");
    EXPECT_TRUE(tc[1].open());
    EXPECT_TRUE(tc[1].short_to_gnd());
    EXPECT_TRUE(tc[1].short_to_vcc());

    // Bits 3..7 of the fault byte carry nothing.
    EXPECT_EQ(tc[2].temperature.text(), "300.0");
    EXPECT_EQ(tc[2].reference.text(), "0.0");
    EXPECT_EQ(tc[2].faults, 0);
}

TEST(TcRecord, SignBytesOtherThanOneAreNotNegative)
{
    auto tc = kiv::decode_tc(hex("02 02 00 19 00 05 18 03 02 F8"));
    ASSERT_TRUE(tc);
    EXPECT_FALSE(tc->enabled);
    EXPECT_EQ(tc->temperature.text(), "25.5");
    EXPECT_EQ(tc->reference.text(), "24.3");
}

TEST(TcRecord, PartialRecordsAreLeftOut)
{
    EXPECT_FALSE(kiv::decode_tc(hex("01 00 00 01 00 01 00 00 00")));
    EXPECT_EQ(kiv::decode_tc_records(hex("01 00 00 01 00 01 00 00 00 00 01 00 00 01")).size(), 1u);
}

TEST(TcRecord, FaultNamesInPrintOrder)
{
    ASSERT_EQ(kiv::tc_faults.size(), 3u);
    EXPECT_STREQ(kiv::tc_faults[0].name, "Open");
    EXPECT_STREQ(kiv::tc_faults[1].name, "Short to GND");
    EXPECT_STREQ(kiv::tc_faults[2].name, "Short to VCC");
    EXPECT_EQ(kiv::tc_faults[2].bit, KIV_TC_FAULT_SHORT_VCC);
}

TEST(RangeCodes, LabelsOfAllElevenCodes)
{
    const char *labels[] = {"-150~150MV", "0~150MV", "-500~500MV", "0~500MV", "-1~1V", "0~1V",
                            "-5~5V",      "0~5V",    "-10~10V",    "0~10V",   "0~20MA"};
    for (int code = 0; code <= 10; ++code) {
        ASSERT_TRUE(kiv::range_label(code)) << code;
        EXPECT_EQ(*kiv::range_label(code), labels[code]);
        EXPECT_EQ(kiv::range_from_label(labels[code]), code);
    }
    EXPECT_FALSE(kiv::range_label(11));
    EXPECT_FALSE(kiv::range_label(-1));
    EXPECT_FALSE(kiv::range_label(255));
}

TEST(RangeCodes, LabelsAreFoundInEitherCase)
{
    EXPECT_EQ(kiv::range_from_label("0~20mA"), 10);
    EXPECT_EQ(kiv::range_from_label("0~10v"), 9);
    EXPECT_EQ(kiv::range_from_label("-150~150mv"), 0);
    EXPECT_FALSE(kiv::range_from_label("0~10"));
    EXPECT_FALSE(kiv::range_from_label("0~10V "));
    EXPECT_FALSE(kiv::range_from_label(""));
    EXPECT_FALSE(kiv::range_from_label("9"));
}
