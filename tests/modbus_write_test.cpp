// The write exchange: single and multiple coil frames, reply judgement and
// the argument checks.
#include "peer_test.h"

using namespace kivtest;

namespace {

const Bytes single_ok = hex("00 00 00 00 00 06 00 05 00 01 FF 00");
const Bytes multiple_ok = hex("00 00 00 00 00 06 00 0F 00 00 00 08");

class Write : public PeerTest {
protected:
    int write(int start, int quantity, Bytes data)
    {
        const int len = static_cast<int>(data.size());
        return write_len(start, quantity, std::move(data), len);
    }
    int write_len(int start, int quantity, Bytes data, int len)
    {
        written = std::move(data);
        return KIV_DO_Write(handle, 1000, start, quantity, written.data(), len);
    }
    Bytes written;
};

} // namespace

TEST_F(Write, SingleCoilOnForValueOne)
{
    peer.expect(hex("00 00 00 00 00 06 00 05 00 01 FF 00")).send(single_ok);
    connect_to_peer();
    EXPECT_EQ(write(1, 1, {1}), KIV_OK);
}

TEST_F(Write, SingleCoilOffForEveryOtherValue)
{
    for (int i = 0; i < 4; ++i)
        peer.expect(hex("00 00 00 00 00 06 00 05 00 01 00 00")).send(single_ok);
    connect_to_peer();
    for (const Bytes &v : {hex("00"), hex("02"), hex("55"), hex("FF")})
        EXPECT_EQ(write(1, 1, v), KIV_OK) << to_hex(v);
}

TEST_F(Write, SingleCoilUsesOnlyTheFirstDataByte)
{
    peer.expect(hex("00 00 00 00 00 06 00 05 00 07 FF 00")).send(single_ok);
    connect_to_peer();
    EXPECT_EQ(write(7, 1, {1, 0, 0}), KIV_OK);
}

TEST_F(Write, MultipleCoilsCarryTheDataAndItsLength)
{
    peer.expect(hex("00 00 00 00 00 08 00 0F 00 00 00 08 01 55")).send(multiple_ok);
    connect_to_peer();
    EXPECT_EQ(write(0, 8, {0x55}), KIV_OK);
}

TEST_F(Write, ByteCountIsTheDataLengthNotDerivedFromTheQuantity)
{
    peer.expect(hex("00 00 00 00 00 09 00 0F 00 03 00 02 02 AA BB")).send(multiple_ok);
    connect_to_peer();
    EXPECT_EQ(write(3, 2, {0xAA, 0xBB}), KIV_OK);
}

TEST_F(Write, NineteenDataBytesFillTheFrame)
{
    Bytes data(19, 0x11);
    Bytes frame = hex("00 00 00 00 00 1A 00 0F 00 00 00 98 13");
    frame.insert(frame.end(), data.begin(), data.end());
    ASSERT_EQ(frame.size(), 32u);
    peer.expect(frame).send(multiple_ok);
    connect_to_peer();
    EXPECT_EQ(write(0, 152, data), KIV_OK);
}

TEST_F(Write, EitherWriteFunctionInTheReplyIsSuccess)
{
    peer.expect(hex("00 00 00 00 00 08 00 0F 00 00 00 08 01 55"))
        .send(single_ok)
        .expect(hex("00 00 00 00 00 06 00 05 00 01 FF 00"))
        .send(multiple_ok);
    connect_to_peer();
    EXPECT_EQ(write(0, 8, {0x55}), KIV_OK);
    EXPECT_EQ(write(1, 1, {1}), KIV_OK);
}

TEST_F(Write, EitherExceptionFormPutsTheCodeIntoTheData)
{
    peer.expect(hex("00 00 00 00 00 06 00 05 00 01 FF 00"))
        .send(hex("00 00 00 00 00 03 00 85 04"))
        .expect(hex("00 00 00 00 00 08 00 0F 00 00 00 08 01 55"))
        .send(hex("00 00 00 00 00 03 00 85 03"))
        .expect(hex("00 00 00 00 00 08 00 0F 00 00 00 08 01 55"))
        .send(hex("00 00 00 00 00 03 00 8F 02"));
    connect_to_peer();
    EXPECT_EQ(write(1, 1, {1}), KIV_ERR_EXCEPTION);
    EXPECT_EQ(written[0], 0x04);
    EXPECT_EQ(write(0, 8, {0x55}), KIV_ERR_EXCEPTION);
    EXPECT_EQ(written[0], 0x03);
    EXPECT_EQ(write(0, 8, {0x55}), KIV_ERR_EXCEPTION);
    EXPECT_EQ(written[0], 0x02);
}

TEST_F(Write, ShortOrForeignRepliesAreRejected)
{
    peer.expect(hex("00 00 00 00 00 06 00 05 00 01 FF 00"))
        .send(hex("00 00 00 00 00 02 00 05"))
        .expect(hex("00 00 00 00 00 06 00 05 00 01 FF 00"))
        .send(hex("00 00 00 00 00 03 00 01 01 00"))
        .expect(hex("00 00 00 00 00 06 00 05 00 01 FF 00"))
        .send(hex("00 00 00 00 00 03 00 81 02"));
    connect_to_peer();
    EXPECT_EQ(write(1, 1, {1}), KIV_ERR_RESPONSE) << "8 bytes";
    EXPECT_EQ(write(1, 1, {1}), KIV_ERR_RESPONSE) << "a read's function";
    EXPECT_EQ(write(1, 1, {1}), KIV_ERR_RESPONSE) << "a read's exception";
    EXPECT_EQ(written[0], 1) << "a foreign exception code is not handed on";
}

TEST_F(Write, BadArgumentsAreRefusedBeforeSending)
{
    peer.expect_closed();
    connect_to_peer();
    EXPECT_EQ(write_len(0, 1, {1}, 0), KIV_ERR_PARAM) << "data length 0";
    EXPECT_EQ(write_len(0, 1, {1}, -2), KIV_ERR_PARAM) << "negative data length";
    EXPECT_EQ(write(0, 0, {1}), KIV_ERR_PARAM) << "quantity 0";
    EXPECT_EQ(write(0, -3, {1}), KIV_ERR_PARAM) << "negative quantity";
    EXPECT_EQ(write(0, 160, Bytes(20, 0)), KIV_ERR_PARAM) << "20 data bytes overflow the frame";
    EXPECT_EQ(KIV_DO_Write(handle, 100, 0, 1, nullptr, 1), KIV_ERR_PARAM);
}
