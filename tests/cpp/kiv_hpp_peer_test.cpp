// kiv.hpp against the scripted module: the handles close themselves (and a
// saved dialogue is not ended twice, a save confirmed only by an "A:"
// answer within the caller's wait), the password is handed over as the
// module's 8 bytes, and the model methods send what their entry points send
// and hand back values, exception codes and answer texts.
#include "fake_peer.h"
#include "modbus_frames.h"
#include "kiv.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kivtest;

namespace {

bool is_closed(int fd)
{
    return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}




kiv::connection open(FakePeer &peer)
{
    peer.start();
    auto c = kiv::connection::open(FakePeer::address, peer.port(), 1000);
    EXPECT_TRUE(c.ok()) << c.error().message();
    return std::move(c).value();
}

// The start of every dialogue's script: a login without password.
FakePeer &expect_login(FakePeer &peer)
{
    return peer.expect(text("L:\r\n")).send(text("A:LoginOK\r\n"));
}

kiv::config_session login(FakePeer &peer)
{
    peer.start();
    auto s = kiv::config_session::login(FakePeer::address, peer.port(), 1000);
    EXPECT_TRUE(s.ok()) << s.error().message();
    return std::move(s).value();
}

} // namespace

TEST(Connection, ClosesInItsDestructorAndMovesItsHandle)
{
    FakePeer peer;
    peer.expect_closed();
    int fd = -1;
    {
        kiv::connection c = open(peer);
        fd = c.handle();
        ASSERT_GE(fd, 0);
        kiv::connection moved = std::move(c);
        EXPECT_FALSE(c.is_open());
        EXPECT_EQ(moved.handle(), fd);
        EXPECT_FALSE(is_closed(fd));
    }
    EXPECT_TRUE(is_closed(fd));
    EXPECT_TRUE(peer.wait_steps(1));
    peer.finish();
}

TEST(Connection, RefusedConnectIsASystemError)
{
    // A bound socket that does not listen refuses connections to its port.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    auto c = kiv::connection::open(FakePeer::address, ntohs(a.sin_port), 1000);
    ::close(fd);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error(), std::errc::connection_refused);
    EXPECT_EQ(kiv::result_text(c.code()), "connection refused");
    EXPECT_FALSE(c->is_open());
}

TEST(ConfigSession, DestructorEndsTheDialogueWithoutSaving)
{
    FakePeer peer;
    expect_login(peer).expect_closed();
    int fd = -1;
    {
        kiv::config_session s = login(peer);
        fd = s.handle();
    }
    EXPECT_TRUE(is_closed(fd));
    EXPECT_TRUE(peer.wait_steps(3));
    peer.finish();
}

TEST(ConfigSession, SavedDialogueIsNotEndedAgain)
{
    FakePeer peer;
    expect_login(peer)
        .expect(text("S:save=1&reboot=1\r\n"))
        .send(text("A:save=1&reboot=1\r\n"))
        .expect_closed();
    int fd = -1;
    {
        kiv::config_session s = login(peer);
        fd = s.handle();
        EXPECT_TRUE(s.save_and_reboot().ok());
        EXPECT_FALSE(s.is_open());
        EXPECT_TRUE(is_closed(fd));
        // A second save has no dialogue left to end.
        EXPECT_EQ(s.save_and_reboot().error(), kiv::errc::param);
    }
    peer.finish();
}

// kiv::save_and_restart waits the caller's time, not the C call's fixed
// 100 ms; only an "A:" answer confirms the save; the dialogue ends whatever
// came.
TEST(SaveAndRestart, OnlyAnAnswerWithinTheCallersWaitConfirms)
{
    struct Case {
        const char *name;
        const char *answer; // none: the module stays silent
        Ms delay;
        int timeout_ms;
        std::error_code error;
    };
    const Case cases[] = {
        {"an answer later than 100 ms", "A:save=1&reboot=1\r\n", 400ms, 5000, {}},
        {"a refusal", "E:flash write failed\r\n", 0ms, 5000, kiv::errc::response},
        {"no answer", nullptr, 0ms, 300, kiv::errc::timeout},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakePeer peer;
        expect_login(peer).expect(text("S:save=1&reboot=1\r\n"));
        if (c.answer)
            peer.send(text(c.answer), c.delay);
        peer.expect_closed();
        kiv::config_session s = login(peer);
        const auto start = std::chrono::steady_clock::now();
        auto saved = kiv::save_and_restart(s, c.timeout_ms);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(saved.error(), c.error);
        EXPECT_EQ(saved.why().answer, c.error == kiv::errc::response ? c.answer : "");
        EXPECT_FALSE(s.is_open());
        if (!c.answer) {
            EXPECT_GE(took, Ms(c.timeout_ms) - 20ms);
            EXPECT_LT(took, Ms(c.timeout_ms) + 3s);
        }
        peer.finish();
    }
}

TEST(ConfigSession, ShortPasswordIsPaddedToEightBytes)
{
    // The code of "ab" and six zero bytes; reading "ab" itself as 8 bytes
    // would run past the text.
    FakePeer peer;
    peer.expect(text("L:12c5986fb47782af\r\n")).send(text("A:LoginOK\r\n")).expect_closed();
    peer.start();
    std::string password = "ab";
    auto s = kiv::config_session::login(FakePeer::address, peer.port(), 1000, password);
    EXPECT_TRUE(s.ok()) << s.error().message();
    s->exit();
    peer.finish();
}

TEST(ConfigSession, LongPasswordCountsItsFirstEightBytes)
{
    FakePeer peer;
    peer.expect(text("L:d2196c3254200d16\r\n")).send(text("A:LoginOK\r\n"));
    peer.start();
    auto s = kiv::config_session::login(FakePeer::address, peer.port(), 1000, "secret12-and-more");
    EXPECT_TRUE(s.ok()) << s.error().message();
    peer.finish();
}

TEST(ConfigSession, RefusedLoginIsTheKivLoginError)
{
    FakePeer peer;
    peer.expect(text("L:\r\n")).send(text("A:LoginFail\r\n"));
    peer.start();
    auto s = kiv::config_session::login(FakePeer::address, peer.port(), 1000);
    EXPECT_EQ(s.error(), kiv::errc::login);
    EXPECT_EQ(kiv::result_text(s.code()), "login refused");
    peer.finish();
}

TEST(Zrm7303, ReadsAndDecodesTheThermocouples)
{
    FakePeer peer;
    peer.expect(read_request(3, 517, 10))
        .send(read_reply(3, hex("01 00 00 19 00 05 18 03 00 00 00 01 00 03 00 4b 00 07 01 01")));
    kiv::connection c = open(peer);
    auto tc = kiv::zrm7303(1000).read_tc(c, 2, 2);
    ASSERT_TRUE(tc.ok()) << tc.error().message();
    ASSERT_EQ(tc->size(), 2u);
    EXPECT_EQ((*tc)[0].temperature.text(), "25.5");
    EXPECT_EQ((*tc)[1].temperature.text(), "-3.75");
    EXPECT_TRUE((*tc)[1].open());
    peer.finish();
}

TEST(Zrm7303, ExceptionCodeOfAReadIsHandedOn)
{
    FakePeer peer;
    peer.expect(read_request(3, 512, 15)).send(exception_reply(3, 2));
    kiv::connection c = open(peer);
    auto tc = kiv::zrm7303(1000).read_tc(c);
    EXPECT_EQ(tc.error(), kiv::errc::exception);
    EXPECT_EQ(tc.why().exception_code, 2);
    peer.finish();
}

TEST(Zrm7303, BadChannelsAreRefusedWithNothingSent)
{
    FakePeer peer;
    peer.expect_closed();
    {
        kiv::connection c = open(peer);
        kiv::zrm7303 m(1000);
        EXPECT_EQ(m.read_tc(c, 2, 3).error(), kiv::errc::param);
        EXPECT_EQ(m.read_tc(c, 0, 1).error(), kiv::errc::param);
        EXPECT_EQ(m.read_di(c, 2, 2).error(), kiv::errc::param);
    }
    peer.finish();
}

TEST(Zrm7303, DigitalInputsAreMaskedToTheWindow)
{
    FakePeer peer;
    peer.expect(read_request(2, 1, 1)).send(read_reply(2, hex("FF")));
    kiv::connection c = open(peer);
    auto di = kiv::zrm7303(1000).read_di(c, 2, 1);
    ASSERT_TRUE(di.ok());
    EXPECT_EQ(*di, 1);
    peer.finish();
}

TEST(Zrm7302, OneChannelMaskWriteSwitchesByBitZero)
{
    // The C call takes a single channel's value as a state (exactly 1 = on):
    // the mask 0x03 for one channel means on.
    FakePeer peer;
    peer.expect(hex("00 00 00 00 00 06 00 05 00 02 FF 00"))
        .send(hex("00 00 00 00 00 06 00 05 00 02 FF 00"))
        .expect(hex("00 00 00 00 00 06 00 05 00 02 00 00"))
        .send(hex("00 00 00 00 00 06 00 05 00 02 00 00"));
    kiv::connection c = open(peer);
    kiv::zrm7302 m(1000);
    EXPECT_TRUE(m.write_do_mask(c, 3, 1, 0x03).ok());
    EXPECT_TRUE(m.write_do_mask(c, 3, 1, 0x02).ok());
    peer.finish();
}

TEST(Zrm7302, OutputsReadAndWriteAsMasks)
{
    FakePeer peer;
    peer.expect(read_request(1, 0, 8))
        .send(read_reply(1, hex("A5")))
        .expect(hex("00 00 00 00 00 08 00 0F 00 00 00 08 01 55"))
        .send(hex("00 00 00 00 00 06 00 0F 00 00 00 08"))
        .expect(read_request(1, 4, 2))
        .send(read_reply(1, hex("FF")));
    kiv::connection c = open(peer);
    kiv::zrm7302 m(1000);
    EXPECT_EQ(m.read_do(c).value_or(0), 0xA5);
    EXPECT_TRUE(m.write_do_mask(c, 1, 8, 0x55).ok());
    // Bits past the count are not outputs of the window.
    EXPECT_EQ(m.read_do(c, 5, 2).value_or(0), 0x03);
    peer.finish();
}

TEST(Zrm7302, SensorBlockAsRegisters)
{
    FakePeer peer;
    Bytes block(48);
    block[0] = 0x12;
    block[1] = 0x34;
    block[47] = 0x01;
    peer.expect(read_request(3, 0, 24)).send(read_reply(3, block));
    kiv::connection c = open(peer);
    auto regs = kiv::zrm7302(1000).read_sensors(c);
    ASSERT_TRUE(regs.ok());
    ASSERT_EQ(regs->size(), 24u);
    EXPECT_EQ((*regs)[0], 0x1234);
    EXPECT_EQ((*regs)[23], 1);
    peer.finish();
}

TEST(Zrm7301, OutputExceptionCodeIsNotHandedOn)
{
    FakePeer peer;
    peer.expect(read_request(1, 0, 1)).send(exception_reply(1, 4));
    kiv::connection c = open(peer);
    auto on = kiv::zrm7301(1000).read_do(c);
    EXPECT_EQ(on.error(), kiv::errc::exception);
    EXPECT_EQ(on.why().exception_code, 0);
    peer.finish();
}

TEST(Zrm7301Config, RangesReadAsCodes)
{
    FakePeer peer;
    expect_login(peer)
        .expect(text("G:ai_pl=\r\n"))
        .send(text("A:ai_pl=2\r\n"))
        .expect(text("G:ai_range_0=\r\n"))
        .send(text("A:ai_range_0=8\r\n"))
        .expect(text("G:ai_range_1=\r\n"))
        .send(text("A:ai_range_1=8\r\n"));
    kiv::config_session s = login(peer);
    auto codes = kiv::zrm7301(1000).get_ai_range(s, 1, 2);
    ASSERT_TRUE(codes.ok()) << codes.error().message();
    EXPECT_EQ(*codes, (std::vector<std::uint8_t>{8, 9}));
    peer.finish();
}

TEST(Zrm7301Config, AnswerTextOfARefusedReadIsHandedOn)
{
    FakePeer peer;
    expect_login(peer).expect(text("G:ai_en=\r\n")).send(text("A:what=1\r\n"));
    kiv::config_session s = login(peer);
    auto en = kiv::zrm7301(1000).get_ai_enable(s);
    EXPECT_EQ(en.error(), kiv::errc::response);
    EXPECT_EQ(en.why().answer, "A:what=1\r\n");
    peer.finish();
}

TEST(Zrm7301Config, RangeCodeAboveTenIsRefusedWithNothingSent)
{
    FakePeer peer;
    expect_login(peer).expect_closed();
    {
        kiv::config_session s = login(peer);
        const std::uint8_t codes[] = {9, 11};
        EXPECT_EQ(kiv::zrm7301(1000).set_ai_range(s, 1, codes).error(), kiv::errc::param);
        const std::uint8_t nine[9] = {};
        EXPECT_EQ(kiv::zrm7301(1000).set_ai_range(s, 1, nine).error(), kiv::errc::param);
    }
    peer.finish();
}

TEST(Zrm7301Config, EnableWriteIsReadModifyWrite)
{
    FakePeer peer;
    expect_login(peer)
        .expect(text("G:ai_en=\r\n"))
        .send(text("A:ai_en=255\r\n"))
        .expect(text("S:ai_en=251\r\n"))
        .send(text("A:ai_en=251\r\n"));
    kiv::config_session s = login(peer);
    EXPECT_TRUE(kiv::zrm7301(1000).set_ai_enable(s, 3, 1, 0).ok());
    peer.finish();
}

TEST(Zrm7302Config, PowerOnValueOfTheEightOutputs)
{
    FakePeer peer;
    expect_login(peer)
        .expect(text("G:u8_povp=\r\n"))
        .send(text("A:u8_povp=261\r\n"))
        .expect(text("G:u8_povp=\r\n"))
        .send(text("A:u8_povp=261\r\n"))
        .expect(text("S:u8_povp=426\r\n"))
        .send(text("A:u8_povp=426\r\n"));
    kiv::config_session s = login(peer);
    kiv::zrm7302 m(1000);
    EXPECT_EQ(m.get_do_power_on(s).value_or(0), 0x05);
    // Bits outside the outputs keep what the module holds.
    EXPECT_TRUE(m.set_do_power_on(s, 0xAA).ok());
    EXPECT_EQ(m.set_do_power_on(s, 0x100).error(), kiv::errc::param);
    peer.finish();
}
