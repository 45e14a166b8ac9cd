// The three read exchanges: request frames, reply acceptance and rejection,
// the count on every path, and nothing stored past the caller's size.
#include "modbus_frames.h"
#include "peer_test.h"

#include <array>

using namespace kivtest;

namespace {

using ReadFn = int (*)(int, int, int, int, unsigned char *, int, int *);

struct ReadKind {
    const char *name;
    ReadFn fn;
    unsigned char function;
    std::size_t recv_size; // bytes one receive asks for
};

const ReadKind kinds[] = {
    {"DO", KIV_DO_Read, 0x01, 32},
    {"DI", KIV_DI_Read, 0x02, 32},
    {"AI", KIV_AI_Read, 0x03, 256},
};


// A normal reply: MBAP, function, byte count, data.

// Test names say which exchange; the parameter itself need not be printed.
void PrintTo(const ReadKind &k, std::ostream *os)
{
    *os << k.name;
}

class Read : public PeerTest, public ::testing::WithParamInterface<ReadKind> {
protected:
    // Reads into buf with the given size; bytes past size keep the marker.
    int read(int start, int quantity, int size, int timeout = 1000)
    {
        buf.fill(marker);
        len = -1;
        return GetParam().fn(handle, timeout, start, quantity, buf.data(), size, &len);
    }
    unsigned char fn() const { return GetParam().function; }

    static constexpr unsigned char marker = 0xA5;
    std::array<unsigned char, 300> buf{};
    int len = -1;
};

} // namespace

TEST_P(Read, SendsTheTwelveByteRequest)
{
    peer.expect(read_request(fn(), 0x1234, 0x0018)).send(read_reply(fn(), 2, hex("01 02")));
    connect_to_peer();
    EXPECT_EQ(read(0x1234, 0x18, 8), KIV_OK);
}

TEST_P(Read, StartAndQuantityTravelAsTheirLow16Bits)
{
    peer.expect(read_request(fn(), 0x0001, 0x0000)).send(read_reply(fn(), 0, {}));
    connect_to_peer();
    EXPECT_EQ(read(0x10001, 0x30000, 8), KIV_OK);
    EXPECT_EQ(len, 0);
}

TEST_P(Read, CopiesTheDataAndSetsTheCount)
{
    peer.expect(read_request(fn(), 0, 8)).send(read_reply(fn(), 3, hex("55 66 77")));
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 8), KIV_OK);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(buf[2], 0x77);
    EXPECT_EQ(buf[3], marker);
}

TEST_P(Read, AnyTransactionAndUnitIdentifierIsAccepted)
{
    Bytes reply = read_reply(fn(), 1, hex("42"));
    reply[0] = 0x12;
    reply[1] = 0x34;
    reply[6] = 0xFF;
    peer.expect(read_request(fn(), 0, 8)).send(reply);
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 8), KIV_OK);
    EXPECT_EQ(buf[0], 0x42);
}

TEST_P(Read, ExceptionReplyHandsOnItsCode)
{
    peer.expect(read_request(fn(), 0, 8))
        .send(exception_reply(fn(), 0x02));
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 8), KIV_ERR_EXCEPTION);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(buf[0], 0x02);
    EXPECT_EQ(buf[1], marker);
}

TEST_P(Read, ReplyOfEightBytesIsTooShort)
{
    peer.expect(read_request(fn(), 0, 8)).send({0, 0, 0, 0, 0, 2, 0, fn()});
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 8), KIV_ERR_RESPONSE);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[0], marker);
}

TEST_P(Read, NineByteReplyWithCountZeroIsEmptySuccess)
{
    peer.expect(read_request(fn(), 0, 8)).send(read_reply(fn(), 0, {}));
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 8), KIV_OK);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[0], marker);
}

TEST_P(Read, ReplyOfAnotherFunctionIsRejected)
{
    // Another read's function, and another read's exception form.
    const unsigned char other = fn() == 0x03 ? 0x01 : 0x03;
    peer.expect(read_request(fn(), 0, 8))
        .send(read_reply(other, 1, hex("55")))
        .expect(read_request(fn(), 0, 8))
        .send(exception_reply(other, 0x02));
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 8), KIV_ERR_RESPONSE);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[0], marker);
    EXPECT_EQ(read(0, 8, 8), KIV_ERR_RESPONSE);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[0], marker);
}

TEST_P(Read, CountLargerThanTheDataGivesOnlyWhatArrived)
{
    peer.expect(read_request(fn(), 0, 8)).send(read_reply(fn(), 20, hex("01 02 03")));
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 16), KIV_OK);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(buf[3], marker);
}

TEST_P(Read, CountSmallerThanTheDataBoundsTheCopy)
{
    peer.expect(read_request(fn(), 0, 8)).send(read_reply(fn(), 2, hex("01 02 03 04")));
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 16), KIV_OK);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(buf[2], marker);
}

TEST_P(Read, NothingIsStoredPastTheBufferSize)
{
    peer.expect(read_request(fn(), 0, 8))
        .send(read_reply(fn(), 6, hex("01 02 03 04 05 06")));
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 4), KIV_OK);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(buf[3], 0x04);
    EXPECT_EQ(buf[4], marker);
}

TEST_P(Read, BufferSizeBelowOneIsRefusedBeforeSending)
{
    peer.expect_closed();
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 0), KIV_ERR_PARAM);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(read(0, 8, -5), KIV_ERR_PARAM);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[0], marker);
}

TEST_P(Read, OneReceiveIsTheWholeReply)
{
    // The reply arrives in two pieces: the first piece alone is judged, and
    // the rest is what the next exchange receives.
    const Bytes reply = read_reply(fn(), 4, hex("01 02 03 04"));
    peer.expect(read_request(fn(), 0, 8))
        .send_in_pieces(reply, {11}, 300ms)
        .expect(read_request(fn(), 0, 8));
    connect_to_peer();
    EXPECT_EQ(read(0, 8, 16), KIV_OK);
    EXPECT_EQ(len, 2);
    ASSERT_TRUE(peer.wait_steps(2));
    EXPECT_EQ(read(0, 8, 16, 1000), KIV_ERR_RESPONSE) << "the rest, 2 bytes, is too short";
}

TEST_P(Read, ALongerReplyIsCutAtTheReceiveSize)
{
    // One receive asks for the frame size; the rest stays in the connection.
    const std::size_t data_len = GetParam().recv_size; // more than fits
    Bytes data(data_len);
    for (std::size_t i = 0; i < data_len; ++i)
        data[i] = static_cast<unsigned char>(i);
    const Bytes reply = read_reply(fn(), 0xFF, data);
    peer.expect(read_request(fn(), 0, 8)).send(reply);
    connect_to_peer();
    EXPECT_EQ(read(0, 8, static_cast<int>(buf.size())), KIV_OK);
    EXPECT_EQ(len, static_cast<int>(GetParam().recv_size - 9));
    EXPECT_EQ(buf[static_cast<std::size_t>(len) - 1], data[static_cast<std::size_t>(len) - 1]);
    EXPECT_EQ(buf[static_cast<std::size_t>(len)], marker);
}

INSTANTIATE_TEST_SUITE_P(Exchanges, Read, ::testing::ValuesIn(kinds),
                         [](const auto &p) { return std::string(p.param.name); });

using ReadFrames = PeerTest;

TEST_F(ReadFrames, CoilReadOfEightFromZero)
{
    peer.expect(hex("00 00 00 00 00 06 00 01 00 00 00 08"))
        .send(hex("00 00 00 00 00 04 00 01 01 55"));
    connect_to_peer();
    unsigned char b[8];
    int len = -1;
    EXPECT_EQ(KIV_DO_Read(handle, 1000, 0, 8, b, 8, &len), KIV_OK);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(b[0], 0x55);
}

TEST_F(ReadFrames, RegisterReadOfFifteenFrom512)
{
    Bytes reply = hex("00 00 00 00 00 21 00 03 1e");
    for (unsigned char i = 0; i < 30; ++i)
        reply.push_back(i);
    peer.expect(hex("00 00 00 00 00 06 00 03 02 00 00 0F")).send(reply);
    connect_to_peer();
    unsigned char b[64];
    int len = -1;
    EXPECT_EQ(KIV_AI_Read(handle, 1000, 512, 15, b, 64, &len), KIV_OK);
    EXPECT_EQ(len, 30);
    EXPECT_EQ(b[29], 29);
}
