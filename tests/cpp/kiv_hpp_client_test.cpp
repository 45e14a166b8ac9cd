// kiv::client against the scripted module: after a timeout or a reply of the
// wrong length it reconnects before the next exchange, so that no late or
// partial reply is ever taken for another request; an exception reply keeps
// the connection; a refused connect is the call's failure.
#include "fake_peer.h"
#include "modbus_frames.h"
#include "kiv.hpp"

#include <gtest/gtest.h>

using namespace kivtest;

namespace {

const Bytes tc_request = read_request(3, 512, 15);
// Three TC records: 25.5, 26.5 and 27.5 degrees, each enabled.
const Bytes tc_records = hex("01 00 00 19 00 05 18 03 00 00"
                             "01 00 00 1a 00 05 18 03 00 00"
                             "01 00 00 1b 00 05 18 03 00 00");

auto read_tc(kiv::client &c, int timeout_ms = 1000)
{
    return c.run([&](const kiv::connection &conn) { return kiv::zrm7303(timeout_ms).read_tc(conn); });
}

} // namespace

TEST(Client, LateReplyIsNeverTakenForTheNextRequest)
{
    FakePeer peer;
    // The first reply comes after the client gave up on it; the client must
    // have closed that connection before it asks again.
    peer.expect(tc_request).send(read_reply(3, tc_records), 300ms).expect_closed()
        .accept_next().expect(tc_request).send(read_reply(3, tc_records));
    peer.start();
    kiv::client c(FakePeer::address, peer.port());

    EXPECT_EQ(read_tc(c, 100).error(), kiv::errc::timeout);
    EXPECT_FALSE(c.connected());
    auto tc = read_tc(c);
    ASSERT_TRUE(tc.ok()) << tc.error().message();
    EXPECT_EQ((*tc)[2].temperature.text(), "27.5");
    EXPECT_EQ(c.connects(), 2u);
    peer.finish();
}

TEST(Client, ReplyOfTheWrongLengthIsNoValueAndReconnects)
{
    FakePeer peer;
    const Bytes one_record(tc_records.begin(), tc_records.begin() + 10);
    peer.expect(tc_request).send(read_reply(3, one_record)).expect_closed()
        .accept_next().expect(read_request(2, 0, 16)).send(read_reply(2, hex("05")))
        .expect_closed()
        .accept_next().expect(tc_request).send(read_reply(3, tc_records));
    peer.start();
    kiv::client c(FakePeer::address, peer.port());

    EXPECT_EQ(read_tc(c).error(), kiv::errc::response);
    // Sixteen inputs take two bytes: one byte is no value for the second.
    auto di = c.run([](const kiv::connection &conn) { return kiv::zrm7302(1000).read_di(conn); });
    EXPECT_EQ(di.error(), kiv::errc::response);
    EXPECT_TRUE(read_tc(c).ok());
    EXPECT_EQ(c.connects(), 3u);
    peer.finish();
}

TEST(Client, ExceptionAndRefusedArgumentKeepTheConnection)
{
    FakePeer peer;
    peer.expect(tc_request).send(exception_reply(3, 4)).expect(tc_request).send(read_reply(3, tc_records));
    peer.start();
    kiv::client c(FakePeer::address, peer.port());

    auto failed = read_tc(c);
    EXPECT_EQ(failed.error(), kiv::errc::exception);
    EXPECT_EQ(failed.why().exception_code, 4);
    EXPECT_EQ(c.run([](const kiv::connection &conn) { return kiv::zrm7303(1000).read_tc(conn, 0, 1); })
                  .error(),
              kiv::errc::param);
    EXPECT_TRUE(read_tc(c).ok());
    EXPECT_EQ(c.connects(), 1u);
    peer.finish();
}

TEST(Client, RefusedConnectIsTheCallsFailureAndIsTriedAgain)
{
    int port = 0;
    {
        FakePeer gone;
        port = gone.port();
    }
    kiv::client c(FakePeer::address, port);
    EXPECT_EQ(read_tc(c).error(), std::errc::connection_refused);
    EXPECT_EQ(c.open().error(), std::errc::connection_refused);
    EXPECT_FALSE(c.connected());
    EXPECT_EQ(c.connects(), 0u);
}

TEST(Client, AddressesAreTakenAsTheyAreAndNamesLookedUp)
{
    std::string why;
    EXPECT_EQ(kiv::resolve_ipv4("127.0.0.9"), "127.0.0.9");
    // Digits and dots are never a name: nothing is asked of a resolver.
    EXPECT_EQ(kiv::resolve_ipv4("300.1.2.3", &why), "");
    EXPECT_EQ(why, "not an IPv4 address");
    EXPECT_EQ(kiv::resolve_ipv4("localhost"), "127.0.0.1");

    kiv::client c("300.1.2.3", 502);
    auto r = c.open();
    EXPECT_EQ(r.error(), std::errc::host_unreachable);
    EXPECT_EQ(r.why().answer, "not an IPv4 address");
}
