// The reply wait as every exchange sees it, through KIV_DO_Read: timeouts,
// late replies, a closed or reset connection, the diagnostic lines, broken
// pipes, and descriptors beyond FD_SETSIZE.
#include "capture.h"
#include "peer_test.h"

#include <chrono>
#include <climits>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace kivtest;
using Clock = std::chrono::steady_clock;

namespace {

const Bytes read_8_coils = hex("00 00 00 00 00 06 00 01 00 00 00 08");
const Bytes coils_55 = hex("00 00 00 00 00 04 00 01 01 55");
const Bytes coils_aa = hex("00 00 00 00 00 04 00 01 01 aa");

long ms_since(Clock::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

class ReplyWait : public PeerTest {
protected:
    int read_coils(int timeout)
    {
        value = 0xEE;
        len = -1;
        return KIV_DO_Read(handle, timeout, 0, 8, &value, 1, &len);
    }
    unsigned char value = 0xEE;
    int len = -1;
};

} // namespace

TEST_F(ReplyWait, TimeoutZeroWithNothingWaitingTimesOut)
{
    peer.expect(read_8_coils);
    connect_to_peer();
    EXPECT_EQ(read_coils(0), KIV_ERR_TIMEOUT);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(value, 0xEE);
}

TEST_F(ReplyWait, TimeoutZeroTakesAReplyAlreadyWaiting)
{
    // The reply to the first (timed-out) read is waiting when the second
    // read is made with timeout 0.
    peer.expect(read_8_coils).send(coils_55, 200ms).expect(read_8_coils);
    connect_to_peer();
    EXPECT_EQ(read_coils(0), KIV_ERR_TIMEOUT);
    pollfd arrived{handle, POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 5000), 1);
    EXPECT_EQ(read_coils(0), KIV_OK);
    EXPECT_EQ(value, 0x55);
}

TEST_F(ReplyWait, LateReplyIsTakenByTheNextExchange)
{
    peer.expect(read_8_coils).send(coils_55, 300ms).expect(read_8_coils).send(coils_aa);
    connect_to_peer();
    EXPECT_EQ(read_coils(50), KIV_ERR_TIMEOUT);
    ASSERT_TRUE(peer.wait_steps(2));
    EXPECT_EQ(read_coils(1000), KIV_OK);
    EXPECT_EQ(value, 0x55) << "the late reply answers the next request";
}

TEST_F(ReplyWait, TimeoutAboveOneSecondWaitsTheWholeTimeout)
{
    peer.expect(read_8_coils);
    connect_to_peer();
    const auto t0 = Clock::now();
    EXPECT_EQ(read_coils(1500), KIV_ERR_TIMEOUT);
    const long took = ms_since(t0);
    EXPECT_GE(took, 1500);
    EXPECT_LT(took, 3500);
}

TEST_F(ReplyWait, LargestTimeoutDoesNotOverflow)
{
    peer.expect(read_8_coils).send(coils_55, 100ms);
    connect_to_peer();
    EXPECT_EQ(read_coils(INT_MAX), KIV_OK);
    EXPECT_EQ(value, 0x55);
}

TEST_F(ReplyWait, NegativeTimeoutFailsWithEinval)
{
    peer.expect(read_8_coils);
    connect_to_peer();
    StdoutCapture out;
    EXPECT_EQ(read_coils(-1), EINVAL);
    EXPECT_EQ(out.take(), "select failed\r\n");
    EXPECT_EQ(len, 0);
}

TEST_F(ReplyWait, ClosedConnectionPrintsRecvDisconnected)
{
    peer.expect(read_8_coils).close();
    connect_to_peer();
    StdoutCapture out;
    EXPECT_EQ(read_coils(1000), KIV_ERR_DISCONNECTED);
    EXPECT_EQ(out.take(), "recv disconnected\r\n");
    EXPECT_EQ(len, 0);
    EXPECT_EQ(value, 0xEE);
}

TEST_F(ReplyWait, ResetConnectionPrintsRecvFailed)
{
    peer.expect(read_8_coils).reset();
    connect_to_peer();
    StdoutCapture out;
    EXPECT_EQ(read_coils(1000), ECONNRESET);
    EXPECT_EQ(out.take(), "recv failed:104\r\n");
    EXPECT_EQ(len, 0);
}

TEST_F(ReplyWait, BrokenPipeIsEpipeNotSigpipe)
{
    // The peer resets the connection; the next send finds it broken. With
    // SIGPIPE at its default this test would die instead of failing.
    peer.expect(read_8_coils).reset();
    connect_to_peer();
    StdoutCapture out;
    EXPECT_EQ(read_coils(1000), ECONNRESET);
    EXPECT_EQ(read_coils(1000), EPIPE);
    EXPECT_EQ(out.take(), "recv failed:104\r\nsend failed:32\r\n");
    EXPECT_EQ(len, 0);
}

TEST_F(ReplyWait, HandleBeyondFdSetsizeWorksLikeAnyOther)
{
    // Fill the descriptor table past FD_SETSIZE so that the connect gets a
    // descriptor that no fd_set can hold.
    rlimit lim{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlim_t wanted = 1100;
    if (lim.rlim_cur < wanted) {
        rlimit raised = lim;
        raised.rlim_cur = std::min<rlim_t>(std::max(wanted, lim.rlim_cur), lim.rlim_max);
        if (raised.rlim_cur < wanted || ::setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to " << wanted;
    }
    std::vector<int> fillers;
    for (int i = 0; i < 1100; ++i) {
        const int fd = ::dup(0);
        if (fd < 0)
            break;
        fillers.push_back(fd);
        if (fd > 1030)
            break;
    }
    // Every slot below the last filler is taken: freeing it puts the
    // connection's socket there.
    peer.expect(read_8_coils).send(coils_55, 50ms).expect(read_8_coils);
    const int spare = fillers.back();
    ::close(spare);
    fillers.pop_back();
    connect_to_peer();
    EXPECT_GE(handle, FD_SETSIZE);
    EXPECT_EQ(read_coils(2000), KIV_OK);
    EXPECT_EQ(value, 0x55);
    const auto t0 = Clock::now();
    EXPECT_EQ(read_coils(200), KIV_ERR_TIMEOUT) << "the same timeout behaviour";
    EXPECT_GE(ms_since(t0), 200);
    for (int fd : fillers)
        ::close(fd);
    if (lim.rlim_cur < wanted)
        ::setrlimit(RLIMIT_NOFILE, &lim);
}
