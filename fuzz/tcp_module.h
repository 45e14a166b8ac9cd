// The module's side of one connection over loopback TCP, for targets that
// run a sequence of exchanges on one handle: it sends its bytes in chunks
// whenever the input says, hangs up (FIN) or resets (RST, which a socket
// pair cannot do), and keeps the byte stream it sent so that what each call
// took can be told from the bytes still unread at the handle.
//
// The listeners live for the whole run: one the library connects to, a port
// bound without listening (every connect refused), and one whose accept
// queue is full (a connect there never completes).
#pragma once

#include "fuzz_support.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace kivfuzz {

inline int loopback_socket(int backlog, int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    KIV_FUZZ_CHECK(fd >= 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    KIV_FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
    if (backlog >= 0)
        KIV_FUZZ_CHECK(::listen(fd, backlog) == 0);
    socklen_t len = sizeof a;
    KIV_FUZZ_CHECK(::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0);
    port = ntohs(a.sin_port);
    return fd;
}

// Waits (bounded, a stalled machine included) until ready() holds.
template <typename Ready>
void settle(Ready ready)
{
    bool done = ready();
    for (int i = 0; i < 5000 && !done; ++i) {
        ::poll(nullptr, 0, 1);
        done = ready();
    }
    KIV_FUZZ_CHECK(done);
}

class Listeners {
public:
    Listeners()
    {
        listener_ = loopback_socket(16, port_);
        refuser_ = loopback_socket(-1, refused_port_);
        // A backlog of 0 holds one connection; with it queued, the next
        // SYN is dropped and that connect stays in progress.
        full_ = loopback_socket(0, stalled_port_);
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(stalled_port_));
        KIV_FUZZ_CHECK(::connect(filler_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        settle([this] {
            pollfd p{full_, POLLIN, 0};
            return ::poll(&p, 1, 0) == 1;
        });
    }

    int port() const { return port_; }
    int refused_port() const { return refused_port_; }
    int stalled_port() const { return stalled_port_; }

    // The module's end of the connection the library just made.
    int accept_module()
    {
        int fd = -1;
        settle([&] {
            fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            return fd >= 0;
        });
        return fd;
    }

private:
    int listener_ = -1, refuser_ = -1, full_ = -1, filler_ = -1;
    int port_ = 0, refused_port_ = 0, stalled_port_ = 0;
};

// Small segments go out at once both ways: the module's sends with Nagle
// off, the library's (Nagle on, as it leaves it) because the module
// acknowledges every segment at once instead of delaying the ACK.
class TcpModule {
public:
    TcpModule(int fd, int handle) : fd_(fd), handle_(handle)
    {
        set(TCP_NODELAY);
        set(TCP_QUICKACK);
    }
    ~TcpModule() { reset(); }
    TcpModule(const TcpModule &) = delete;
    TcpModule &operator=(const TcpModule &) = delete;

    // After KIV_Close the descriptor is no longer the library's.
    void forget_handle() { handle_ = -1; }

    bool can_send() const { return fd_ >= 0 && !hung_up_ && handle_ >= 0; }
    bool hung_up() const { return hung_up_; }
    bool was_reset() const { return fd_ < 0; }

    void send(const Bytes &b)
    {
        if (!can_send() || b.empty())
            return;
        KIV_FUZZ_CHECK(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(b.size()));
        stream_.insert(stream_.end(), b.begin(), b.end());
    }
    void hang_up()
    {
        if (can_send() && ::shutdown(fd_, SHUT_WR) == 0)
            hung_up_ = true;
    }
    // An RST instead of a FIN: no TIME_WAIT is left behind either.
    void reset()
    {
        if (fd_ < 0)
            return;
        linger off{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        ::close(fd_);
        fd_ = -1;
    }

    // Before a call: everything sent has arrived at the handle, and so has
    // the FIN or RST. Gives what is waiting unread.
    std::size_t arrived() const
    {
        const std::size_t waiting = stream_.size() - taken_;
        settle([&] {
            pollfd p{handle_, POLLRDHUP, 0};
            ::poll(&p, 1, 0);
            const bool ends = (!hung_up_ || (p.revents & POLLRDHUP)) &&
                              (fd_ >= 0 || (p.revents & POLLHUP));
            return ends && queued(handle_) == waiting;
        });
        return waiting;
    }

    // After a call: the bytes its receives took, in stream order.
    Bytes took(std::size_t waiting_before)
    {
        const std::size_t left = queued(handle_);
        KIV_FUZZ_CHECK(left <= waiting_before);
        const auto from = stream_.begin() + static_cast<long>(taken_);
        taken_ += waiting_before - left;
        return Bytes(from, stream_.begin() + static_cast<long>(taken_));
    }

    // What the library sent since the last look (nothing once reset), once
    // nothing of it is left unsent at the handle.
    Bytes sent()
    {
        Bytes out;
        if (fd_ < 0)
            return out;
        if (handle_ >= 0)
            settle([this] {
                int unsent = 0;
                return ::ioctl(handle_, SIOCOUTQNSD, &unsent) != 0 || unsent == 0;
            });
        std::uint8_t buf[512];
        ssize_t n = 0;
        while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0)
            out.insert(out.end(), buf, buf + n);
        // The kernel may leave quick-ACK mode at any receive.
        set(TCP_QUICKACK);
        return out;
    }

private:
    void set(int option)
    {
        const int on = 1;
        KIV_FUZZ_CHECK(::setsockopt(fd_, IPPROTO_TCP, option, &on, sizeof on) == 0);
    }

    int fd_;
    int handle_;
    bool hung_up_ = false;
    Bytes stream_;
    std::size_t taken_ = 0;
};

} // namespace kivfuzz
