// KIV_Cfg_Login: the login line with and without a password, how each kind
// of answer is judged, and that the socket is closed on every failure after
// the connect and open on success.
#include "capture.h"
#include "cfg_test.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kivtest;

namespace {

const Bytes no_password_line = line("L:\r\n");
const Bytes login_ok = line("A:LoginOK\r\n");

class Login : public PeerTest {
protected:
    // Logs in; on success the fixture owns the handle, on failure h keeps
    // whatever the call left in it.
    int log_in(const char *password, int timeout = 1000)
    {
        peer.start();
        h = -1;
        const int rc = KIV_Cfg_Login(FakePeer::address, peer.port(), timeout, password, &h);
        if (rc == KIV_OK)
            handle = h;
        return rc;
    }

    // A failed login closed the descriptor it reported. The peer's thread
    // may already have opened a descriptor of its own under that number, so
    // "closed" means: no longer a socket connected to the peer's port.
    void expect_closed_after_failure()
    {
        EXPECT_GE(h, 0) << "the handle is written once the connection is up";
        EXPECT_FALSE(connected_to_peer(h));
    }

    bool connected_to_peer(int fd) const { return connected_to(fd, peer.port()); }

    int h = -1;
};

} // namespace

TEST_F(Login, EmptyPasswordSendsFourBytes)
{
    peer.expect(no_password_line).send(login_ok);
    EXPECT_EQ(log_in(""), KIV_OK);
    EXPECT_FALSE(is_closed(handle));
    EXPECT_TRUE(::fcntl(handle, F_GETFL) & O_NONBLOCK);
}

TEST_F(Login, EightBytePasswordSendsItsCode)
{
    const Bytes expected = line("L:d2196c3254200d16\r\n");
    ASSERT_EQ(expected.size(), 20u);
    peer.expect(expected).send(login_ok);
    EXPECT_EQ(log_in("secret12"), KIV_OK);
}

TEST_F(Login, PasswordPaddedWithZerosIsEncodedFromAllEightBytes)
{
    const char password[8] = {'a', 'b', 0, 0, 0, 0, 0, 0};
    peer.expect(line("L:12c5986fb47782af\r\n")).send(login_ok);
    EXPECT_EQ(log_in(password), KIV_OK);
}

TEST_F(Login, HighPasswordBytesEncodeAlikeOnSignedAndUnsignedChar)
{
    const char password[8] = {'\xff', '\xff', '\xff', '\xff', '\xff', '\xff', '\xff', '\xff'};
    peer.expect(line("L:1536b3174a1d2cae\r\n")).send(login_ok);
    EXPECT_EQ(log_in(password), KIV_OK);
}

TEST_F(Login, AnswerWithMoreBytesBehindIsRefused)
{
    peer.expect(no_password_line).send(line("A:LoginOK\r\nA:")).expect_closed();
    EXPECT_EQ(log_in(""), KIV_ERR_LOGIN);
    expect_closed_after_failure();
}

TEST_F(Login, AnswerInTwoPiecesIsRefused)
{
    peer.expect(no_password_line).send_in_pieces(login_ok, {5, 6}, 300ms).expect_closed();
    EXPECT_EQ(log_in(""), KIV_ERR_LOGIN);
    expect_closed_after_failure();
}

TEST_F(Login, NulRightAfterTheAnswerIsAccepted)
{
    peer.expect(no_password_line).send(concat(login_ok, hex("00 41 42")));
    EXPECT_EQ(log_in(""), KIV_OK);
    EXPECT_FALSE(is_closed(handle));
}

TEST_F(Login, AnswerOf32BytesIsRefused)
{
    const Bytes answer = concat(login_ok, line("xxxxxxxxxxxxxxxxxxxxx"));
    ASSERT_EQ(answer.size(), 32u);
    peer.expect(no_password_line).send(answer).expect_closed();
    EXPECT_EQ(log_in(""), KIV_ERR_LOGIN);
    expect_closed_after_failure();
}

TEST_F(Login, LongAnswerIsCutInsideTheBufferAndRefused)
{
    peer.expect(no_password_line).send(Bytes(300, 'A')).expect_closed();
    EXPECT_EQ(log_in(""), KIV_ERR_LOGIN);
    expect_closed_after_failure();
}

TEST_F(Login, OtherAnswerIsRefused)
{
    peer.expect(no_password_line).send(line("A:LoginFail\r\n")).expect_closed();
    EXPECT_EQ(log_in(""), KIV_ERR_LOGIN);
    expect_closed_after_failure();
}

TEST_F(Login, SilenceTimesOutAndCloses)
{
    peer.expect(no_password_line).expect_closed();
    EXPECT_EQ(log_in("", 200), KIV_ERR_TIMEOUT);
    expect_closed_after_failure();
}

TEST_F(Login, ModuleClosingGivesDisconnectedAndCloses)
{
    peer.expect(no_password_line).close();
    EXPECT_EQ(log_in(""), KIV_ERR_DISCONNECTED);
    expect_closed_after_failure();
}

TEST_F(Login, ResetGivesTheReceiveErrnoAndCloses)
{
    peer.expect(no_password_line).reset();
    EXPECT_EQ(log_in(""), ECONNRESET);
    expect_closed_after_failure();
}

TEST_F(Login, PrintsNothing)
{
    peer.expect(no_password_line).close();
    StdoutCapture out;
    EXPECT_EQ(log_in(""), KIV_ERR_DISCONNECTED);
    EXPECT_EQ(out.take(), "");
}

TEST(LoginConnect, RefusedConnectLeavesTheHandleUnwritten)
{
    // A bound socket that does not listen: its port refuses connections.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    int h = -7;
    EXPECT_EQ(KIV_Cfg_Login("127.0.0.1", ntohs(a.sin_port), 1000, "", &h), ECONNREFUSED);
    EXPECT_EQ(h, -7);
    ::close(fd);
}

TEST(LoginArguments, NullPointersAreRefused)
{
    int h = -7;
    EXPECT_EQ(KIV_Cfg_Login(nullptr, 5001, 100, "", &h), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_Cfg_Login("127.0.0.1", 5001, 100, nullptr, &h), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_Cfg_Login("127.0.0.1", 5001, 100, "", nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(h, -7);
}
