// Connections, the connect procedure, the reply wait and the four generic
// Modbus/TCP exchanges.
#include "kiv.h"
#include "kiv_frame.h"
#include "kiv_net.h"
#include "kiv_wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace kiv::net {
namespace {

// A monotonic clock, so that a step of the wall clock neither cuts a connect
// short nor stretches it past its deadline. 64-bit arithmetic: on the 32-bit
// builds microseconds since boot overflow a long within an hour.
std::int64_t now_us()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

void close_keeping_errno(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

} // namespace

int connect_with_deadline(const char *address, int port, int timeout_ms, int &handle)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return errno;
    int non_blocking = 1;
    if (::ioctl(fd, FIONBIO, &non_blocking) < 0) {
        const int err = errno;
        ::close(fd);
        return err;
    }

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(mb::low16(port));
    peer.sin_addr.s_addr = ::inet_addr(address);

    // While the connect is in progress, wait for the socket to become
    // writable, then ask connect again for the outcome. The deadline is
    // looked at only after an in-progress answer, so the first attempt is
    // always made whatever the timeout.
    const std::int64_t start = now_us();
    const std::int64_t deadline = start + std::int64_t{timeout_ms} * 1000;
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0 ||
            errno == EISCONN) {
            handle = fd;
            return KIV_OK;
        }
        const int err = errno;
        if (err != EINPROGRESS && err != EALREADY) {
            close_keeping_errno(fd);
            return err;
        }
        const std::int64_t left_us = deadline - now_us();
        if (left_us <= 0) {
            ::close(fd);
            return KIV_ERR_TIMEOUT;
        }
        // Rounded up, so that the wait never ends before the deadline.
        pollfd writable{fd, POLLOUT, 0};
        const int n_ready = ::poll(&writable, 1, static_cast<int>((left_us + 999) / 1000));
        if (n_ready < 0) {
            // EINTR too: a signal ends the connect, as it ends every wait.
            close_keeping_errno(fd);
            return errno;
        }
        if (n_ready == 0) {
            ::close(fd);
            return KIV_ERR_TIMEOUT;
        }
        // Writable, or an error or hang-up: the next connect tells which.
    }
}

int send_request(int handle, std::span<const unsigned char> frame, Diagnostics diag)
{
    // MSG_NOSIGNAL: a module that dropped the connection must give EPIPE,
    // not kill the caller's process.
    const ssize_t sent = ::send(handle, frame.data(), frame.size(), MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(frame.size()))
        return KIV_OK;
    // A short count carries no errno of its own: the socket buffer had room
    // for only part of the request, which is what EAGAIN says.
    const int err = sent < 0 ? errno : EAGAIN;
    if (diag == Diagnostics::print)
        std::printf("send failed:%d\r\n", err);
    return err;
}

int wait_reply(int handle, int timeout_ms, std::span<unsigned char> buf, Diagnostics diag,
               std::size_t &received)
{
    const bool print = diag == Diagnostics::print;
    auto wait_failed = [print](int err) {
        if (print)
            std::puts("select failed\r");
        return err;
    };
    // poll, not select: a descriptor at or above FD_SETSIZE would be written
    // past the end of an fd_set. poll would wait forever on a negative time;
    // refuse it as select does.
    if (timeout_ms < 0)
        return wait_failed(EINVAL);
    pollfd ready{handle, POLLIN, 0};
    const int n_ready = ::poll(&ready, 1, timeout_ms);
    if (n_ready < 0)
        return wait_failed(errno);
    if (n_ready == 0)
        return KIV_ERR_TIMEOUT;
    if (ready.revents & POLLNVAL)
        return wait_failed(EBADF);
    // An error or hang-up is "readable" too: the receive reports it.
    if (!(ready.revents & (POLLIN | POLLHUP | POLLERR)))
        return KIV_ERR_TIMEOUT;

    const ssize_t n = ::recv(handle, buf.data(), buf.size(), 0);
    if (n == 0) {
        if (print)
            std::puts("recv disconnected\r");
        return KIV_ERR_DISCONNECTED;
    }
    if (n < 0) {
        const int err = errno;
        if (print)
            std::printf("recv failed:%d\r\n", err);
        return err;
    }
    received = static_cast<std::size_t>(n);
    return KIV_OK;
}

} // namespace kiv::net

namespace {

using namespace kiv::mb;
using kiv::net::Diagnostics;

// One send, one wait, one receive into the same frame buffer.
int run_exchange(int handle, int timeout, std::span<unsigned char> frame, std::size_t request_len,
                 std::size_t &received)
{
    if (const int rc = kiv::net::send_request(handle, frame.first(request_len), Diagnostics::print))
        return rc;
    return kiv::net::wait_reply(handle, timeout, frame, Diagnostics::print, received);
}

// Judges a read reply and copies its data: only bytes that were received,
// no more than its byte count announces and no more than the caller's size.
int copy_read_data(std::span<const unsigned char> reply, Function fn, unsigned char *buf,
                   int size, int *len_out)
{
    const Judged j = judge_read_reply(reply, fn);
    if (j.code == KIV_ERR_EXCEPTION) {
        buf[0] = j.exception;
        *len_out = 1;
    }
    if (j.code != KIV_OK)
        return j.code;
    std::size_t n = 0;
    while (n < j.data.size() && n < static_cast<std::size_t>(size)) {
        buf[n] = j.data[n];
        ++n;
    }
    *len_out = static_cast<int>(n);
    return KIV_OK;
}

template <std::size_t FrameSize>
int read_exchange(Function fn, int handle, int timeout, int start, int quantity,
                  unsigned char *buf, int size, int *len_out)
{
    if (len_out == nullptr)
        return KIV_ERR_PARAM;
    *len_out = 0;
    // Not even an exception code would fit.
    if (buf == nullptr || size < 1)
        return KIV_ERR_PARAM;
    std::array<unsigned char, FrameSize> frame{};
    const std::size_t request_len = build_read_request(frame, fn, start, quantity);
    std::size_t received = 0;
    if (const int rc = run_exchange(handle, timeout, frame, request_len, received))
        return rc;
    return copy_read_data(std::span{frame}.first(received), fn, buf, size, len_out);
}

} // namespace

extern "C" {

int KIV_Init(void)
{
    return KIV_OK;
}

int KIV_Connect(const char *address, int port, int timeout, int *handle_out)
{
    if (address == nullptr || handle_out == nullptr)
        return KIV_ERR_PARAM;
    return kiv::net::connect_with_deadline(address, port, timeout, *handle_out);
}

int KIV_Close(int handle)
{
    ::close(handle);
    return KIV_OK;
}

int KIV_DO_Read(int handle, int timeout, int start, int quantity, unsigned char *buf, int size,
                int *len_out)
{
    return read_exchange<bit_frame_size>(Function::read_coils, handle, timeout, start, quantity,
                                         buf, size, len_out);
}

int KIV_DI_Read(int handle, int timeout, int start, int quantity, unsigned char *buf, int size,
                int *len_out)
{
    return read_exchange<bit_frame_size>(Function::read_discrete_inputs, handle, timeout, start,
                                         quantity, buf, size, len_out);
}

int KIV_AI_Read(int handle, int timeout, int start, int quantity, unsigned char *buf, int size,
                int *len_out)
{
    return read_exchange<register_frame_size>(Function::read_holding_registers, handle, timeout,
                                              start, quantity, buf, size, len_out);
}

int KIV_DO_Write(int handle, int timeout, int start, int quantity, unsigned char *data, int len)
{
    if (data == nullptr || quantity < 1 || len < 1 || len > static_cast<int>(max_write_data))
        return KIV_ERR_PARAM;
    std::array<unsigned char, bit_frame_size> frame{};
    const std::size_t request_len =
        quantity == 1
            ? build_write_single(frame, start, data[0])
            : build_write_multiple(frame, start, quantity,
                                   std::span<const unsigned char>{data, static_cast<std::size_t>(len)});
    std::size_t received = 0;
    if (const int rc = run_exchange(handle, timeout, frame, request_len, received))
        return rc;
    const Judged j = judge_write_reply(std::span{frame}.first(received));
    if (j.code == KIV_ERR_EXCEPTION)
        data[0] = j.exception;
    return j.code;
}

} // extern "C"
