#include "fake_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kivtest {

namespace {
// Generous: the library under qemu-arm is slow, the peer is not the subject.
constexpr Ms step_limit = 5s;
} // namespace

FakePeer::FakePeer(int backlog)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(listener_, backlog) != 0) {
        fail("peer cannot listen: errno " + std::to_string(errno));
        return;
    }
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (::pipe(stop_pipe_) != 0)
        fail("peer cannot make its stop pipe");
}

FakePeer::~FakePeer()
{
    finish();
    for (int fd : backlog_fillers_)
        ::close(fd);
    ::close(listener_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
}

FakePeer &FakePeer::expect(Bytes b)
{
    script_.push_back({Step::expect, std::move(b), {}, {}});
    return *this;
}

FakePeer &FakePeer::send(Bytes b, Ms delay)
{
    script_.push_back({Step::send, std::move(b), delay, {}});
    return *this;
}

FakePeer &FakePeer::send_in_pieces(Bytes b, std::vector<std::size_t> piece_sizes, Ms gap)
{
    script_.push_back({Step::send, std::move(b), gap, std::move(piece_sizes)});
    return *this;
}

FakePeer &FakePeer::accept_next()
{
    script_.push_back({Step::accept, {}, {}, {}});
    return *this;
}

FakePeer &FakePeer::close()
{
    script_.push_back({Step::close, {}, {}, {}});
    return *this;
}

FakePeer &FakePeer::reset()
{
    script_.push_back({Step::reset, {}, {}, {}});
    return *this;
}

FakePeer &FakePeer::expect_closed()
{
    script_.push_back({Step::expect_closed, {}, {}, {}});
    return *this;
}

void FakePeer::start()
{
    thread_ = std::thread([this] { run(); });
}

bool FakePeer::wait_steps(std::size_t n, Ms limit)
{
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return accepted_ && steps_done_ >= n; });
}

void FakePeer::finish()
{
    if (thread_.joinable()) {
        char stop = 's';
        [[maybe_unused]] ssize_t w = ::write(stop_pipe_[1], &stop, 1);
        thread_.join();
    }
    std::lock_guard lock(mu_);
    for (const auto &f : failures_)
        ADD_FAILURE() << "fake peer: " << f;
    failures_.clear();
}

bool FakePeer::fill_backlog()
{
    // Each filler completes its handshake into the accept queue; once the
    // queue is full, the kernel drops further SYNs.
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    for (int i = 0; i < 2; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        backlog_fillers_.push_back(fd);
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 200);
    }
    // A probe that does not complete shows that the queue is full.
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(probe, reinterpret_cast<sockaddr *>(&a), sizeof a);
    pollfd p{probe, POLLOUT, 0};
    const bool full = ::poll(&p, 1, 300) == 0;
    ::close(probe);
    return full;
}

void FakePeer::fail(std::string why)
{
    std::lock_guard lock(mu_);
    failures_.push_back(std::move(why));
}

bool FakePeer::wait_readable(int fd, Ms limit)
{
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    // What the client did counts before the stop: a test that closed its
    // handle and then ended still shows the close.
    const int n = ::poll(p, 2, static_cast<int>(limit.count()));
    return n > 0 && p[0].revents != 0;
}

bool FakePeer::pause(Ms d)
{
    if (d.count() <= 0)
        return true;
    pollfd p{stop_pipe_[0], POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(d.count())) == 0;
}

void FakePeer::run()
{
    int conn = accept_client();
    if (conn < 0)
        return;
    {
        std::lock_guard lock(mu_);
        accepted_ = true;
    }
    cv_.notify_all();
    bool open = true;
    for (const Step &s : script_) {
        // A connection that the script ended runs no more steps, up to the
        // client's next one.
        if (!open && s.kind != Step::accept)
            continue;
        if (s.kind == Step::accept) {
            ::close(conn);
            conn = accept_client();
            if (conn < 0)
                return;
            open = true;
        } else {
            open = run_step(conn, s);
        }
        {
            std::lock_guard lock(mu_);
            ++steps_done_;
        }
        cv_.notify_all();
    }
    // Silent until the client closes or the test ends.
    if (open && wait_readable(conn, step_limit)) {
        unsigned char extra[512];
        const ssize_t n = ::recv(conn, extra, sizeof extra, 0);
        if (n > 0)
            fail("client sent bytes after the script: " +
                 to_hex(Bytes(extra, extra + n)));
    }
    ::close(conn);
}

int FakePeer::accept_client()
{
    if (!wait_readable(listener_, step_limit)) {
        if (!script_.empty())
            fail("no client connected");
        return -1;
    }
    const int conn = ::accept(listener_, nullptr, nullptr);
    if (conn < 0)
        fail("accept failed");
    return conn;
}

bool FakePeer::run_step(int conn, const Step &s)
{
    switch (s.kind) {
    case Step::expect: {
        Bytes got;
        while (got.size() < s.bytes.size()) {
            if (!wait_readable(conn, step_limit))
                break;
            unsigned char buf[512];
            const std::size_t want = std::min(sizeof buf, s.bytes.size() - got.size());
            const ssize_t n = ::recv(conn, buf, want, 0);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        if (got != s.bytes) {
            fail("expected " + to_hex(s.bytes) + "\n            received " + to_hex(got));
            return false;
        }
        return true;
    }
    case Step::send: {
        std::vector<std::size_t> pieces = s.pieces;
        if (pieces.empty())
            pieces.push_back(s.bytes.size());
        std::size_t at = 0;
        for (std::size_t i = 0; i < pieces.size() && at < s.bytes.size(); ++i) {
            // A whole send waits before it; pieces wait between each other.
            if ((s.pieces.empty() || i > 0) && !pause(s.delay))
                return false;
            const std::size_t n = std::min(pieces[i], s.bytes.size() - at);
            if (::send(conn, s.bytes.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) {
                fail("peer send failed");
                return false;
            }
            at += n;
        }
        if (at < s.bytes.size()) {
            if (!pause(s.delay))
                return false;
            if (::send(conn, s.bytes.data() + at, s.bytes.size() - at, MSG_NOSIGNAL) < 0)
                fail("peer send failed");
        }
        return true;
    }
    case Step::close:
        return false;
    case Step::reset: {
        linger hard{1, 0};
        ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        return false;
    }
    case Step::accept:
        return true;
    case Step::expect_closed: {
        if (!wait_readable(conn, step_limit)) {
            fail("client did not close the connection");
            return false;
        }
        unsigned char buf[512];
        const ssize_t n = ::recv(conn, buf, sizeof buf, 0);
        if (n > 0)
            fail("expected the client to close, received " + to_hex(Bytes(buf, buf + n)));
        return false;
    }
    }
    return false;
}

} // namespace kivtest
