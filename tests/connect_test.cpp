// Connections: KIV_Init, KIV_Connect's connect procedure, KIV_Close.
#include "peer_test.h"

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kivtest;
using Clock = std::chrono::steady_clock;

namespace {

int open_descriptors()
{
    int n = 0;
    DIR *d = ::opendir("/proc/self/fd");
    while (d != nullptr && ::readdir(d) != nullptr)
        ++n;
    if (d != nullptr)
        ::closedir(d);
    return n;
}

long ms_since(Clock::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// A loopback port on which nothing listens: bound, never listened on.
struct ClosedPort {
    ClosedPort()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~ClosedPort() { ::close(fd); }
    int fd;
    int port;
};

// CPU time of the calling thread, user and system.
long thread_cpu_ms()
{
    rusage ru{};
    ::getrusage(RUSAGE_THREAD, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000L +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000L;
}

// Interrupts the process with SIGALRM every 50 ms while it lives, so that a
// wait in progress is sure to be hit. A timer rather than a thread: the
// test process has no other thread to take the signal, and none to join.
class Interrupter {
public:
    Interrupter()
    {
        struct sigaction sa{};
        sa.sa_handler = [](int) {};
        ::sigemptyset(&sa.sa_mask);
        ::sigaction(SIGALRM, &sa, &old_);
        itimerval every{{0, 50000}, {0, 50000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~Interrupter()
    {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &old_, nullptr);
    }

private:
    struct sigaction old_{};
};

} // namespace

TEST(Init, AlwaysSucceeds)
{
    EXPECT_EQ(KIV_Init(), KIV_OK);
    EXPECT_EQ(KIV_Init(), KIV_OK);
}

using Connect = PeerTest;

TEST_F(Connect, GivesANonBlockingHandle)
{
    connect_to_peer();
    ASSERT_GE(handle, 0);
    EXPECT_TRUE(::fcntl(handle, F_GETFL) & O_NONBLOCK);
}

TEST(ConnectFailure, RefusedAtOnceWithHandleUntouched)
{
    ClosedPort closed;
    int handle = -7;
    const int before = open_descriptors();
    const auto t0 = Clock::now();
    EXPECT_EQ(KIV_Connect("127.0.0.1", closed.port, 5000, &handle), ECONNREFUSED);
    EXPECT_LT(ms_since(t0), 2000) << "a refusal must not wait for the deadline";
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(ConnectFailure, NeverAnsweredTimesOutAtTheDeadlineWithoutSpinning)
{
    FakePeer unanswering(0);
    ASSERT_TRUE(unanswering.fill_backlog());
    int handle = -7;
    const int before = open_descriptors();
    const long cpu0 = thread_cpu_ms();
    const auto t0 = Clock::now();
    EXPECT_EQ(KIV_Connect(FakePeer::address, unanswering.port(), 600, &handle), KIV_ERR_TIMEOUT);
    const long took = ms_since(t0);
    EXPECT_GE(took, 600);
    EXPECT_LT(took, 2600);
    // The connect waits on the socket: a loop that keeps asking would burn
    // a good part of a core for the whole wait.
    EXPECT_LT(thread_cpu_ms() - cpu0, 120) << "CPU ms spent waiting " << took << " ms";
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(ConnectFailure, ASignalEndsTheWaitWithEintr)
{
    FakePeer unanswering(0);
    ASSERT_TRUE(unanswering.fill_backlog());
    int handle = -7;
    const int before = open_descriptors();
    const auto t0 = Clock::now();
    int rc = 0;
    {
        Interrupter interrupter;
        rc = KIV_Connect(FakePeer::address, unanswering.port(), 10000, &handle);
    }
    EXPECT_EQ(rc, EINTR);
    EXPECT_LT(ms_since(t0), 8000) << "the signal must end the wait, not the deadline";
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(ConnectFailure, ZeroAndNegativeTimeoutsTimeOutUnlessTheFirstAttemptCompletes)
{
    FakePeer unanswering(0);
    ASSERT_TRUE(unanswering.fill_backlog());
    for (int timeout : {0, -1, -1000}) {
        int handle = -7;
        const auto t0 = Clock::now();
        EXPECT_EQ(KIV_Connect(FakePeer::address, unanswering.port(), timeout, &handle),
                  KIV_ERR_TIMEOUT)
            << "timeout " << timeout;
        EXPECT_LT(ms_since(t0), 1000);
        EXPECT_EQ(handle, -7);
    }
}

TEST(ConnectFailure, UnreadableAddressIsTheBroadcastAddress)
{
    // inet_addr gives 255.255.255.255, which a TCP connect cannot reach; the
    // system's errno is the result, and no socket stays open.
    int handle = -7;
    const int before = open_descriptors();
    const int rc = KIV_Connect("not an address", 502, 200, &handle);
    EXPECT_NE(rc, KIV_OK);
    EXPECT_LT(rc, 1000) << "an errno value";
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(ConnectFailure, NullArgumentsAreRefused)
{
    int handle = -7;
    EXPECT_EQ(KIV_Connect(nullptr, 502, 100, &handle), KIV_ERR_PARAM);
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(KIV_Connect("127.0.0.1", 502, 100, nullptr), KIV_ERR_PARAM);
}

TEST(Close, AlwaysSucceeds)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[1]);
    EXPECT_EQ(KIV_Close(fds[0]), KIV_OK);
    EXPECT_EQ(KIV_Close(fds[0]), KIV_OK) << "already closed";
    EXPECT_EQ(KIV_Close(-1), KIV_OK) << "no descriptor at all";
}
