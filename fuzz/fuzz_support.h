// What the fuzz targets share: reading the fuzzer's bytes from the front
// (so that seeds are easy to write by hand), a connected socket pair that
// plays the module, and a check that stops the run on a broken promise.
#pragma once

#include "kiv.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kivfuzz {

using Bytes = std::vector<std::uint8_t>;

// A broken promise of the library: report and crash, so that libFuzzer
// keeps the input.
#define KIV_FUZZ_CHECK(cond)                                                                   \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);      \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Takes values from the front of the input; past its end every value is 0.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16()
    {
        const unsigned hi = u8();
        return static_cast<std::uint16_t>((hi << 8) | u8());
    }
    std::int32_t i32()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | u8();
        return static_cast<std::int32_t>(v);
    }
    // A small signed value most of the time, any int now and then: the
    // interesting edges of windows and sizes are near 0.
    int small_or_any()
    {
        const std::uint8_t tag = u8();
        if (tag == 0xFF)
            return i32();
        return static_cast<std::int8_t>(u8());
    }
    std::vector<std::uint8_t> bytes(std::size_t n)
    {
        std::vector<std::uint8_t> out;
        while (n-- > 0 && at_ < size_)
            out.push_back(data_[at_++]);
        return out;
    }
    std::vector<std::uint8_t> rest() { return bytes(size_ - at_); }
    bool done() const { return at_ >= size_; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A connected pair: the library's handle (non-blocking, as KIV_Connect
// hands them out) and the module's end.
struct Pair {
    int handle = -1;
    int module = -1;

    explicit Pair(int type)
    {
        int sv[2];
        KIV_FUZZ_CHECK(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv) == 0);
        handle = sv[0];
        module = sv[1];
        KIV_FUZZ_CHECK(::fcntl(handle, F_SETFL, O_NONBLOCK) == 0);
        KIV_FUZZ_CHECK(::fcntl(module, F_SETFL, O_NONBLOCK) == 0);
    }
    ~Pair()
    {
        if (handle >= 0)
            ::close(handle);
        ::close(module);
    }
    Pair(const Pair &) = delete;
    Pair &operator=(const Pair &) = delete;

    // One send: on a packet socket one message, an empty one included.
    void answer(const std::vector<std::uint8_t> &b)
    {
        KIV_FUZZ_CHECK(::send(module, b.data(), b.size(), 0) == static_cast<ssize_t>(b.size()));
    }
    void hang_up() { ::shutdown(module, SHUT_WR); }

    // Everything the library sent, one message per element (a stream
    // gives it in one piece).
    std::vector<std::vector<std::uint8_t>> sent()
    {
        std::vector<std::vector<std::uint8_t>> out;
        for (;;) {
            std::vector<std::uint8_t> buf(4096);
            const ssize_t n = ::recv(module, buf.data(), buf.size(), 0);
            if (n <= 0)
                return out;
            buf.resize(static_cast<std::size_t>(n));
            out.push_back(std::move(buf));
        }
    }
};

inline Bytes joined(const std::vector<Bytes> &parts)
{
    Bytes all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Bytes waiting unread in a stream socket: what a call took is the
// difference before and after it, whatever the size of its receive.
inline std::size_t queued(int fd)
{
    int n = 0;
    KIV_FUZZ_CHECK(::ioctl(fd, FIONREAD, &n) == 0 && n >= 0);
    return static_cast<std::size_t>(n);
}

// Result codes a call may give: the library's own, or an errno value.
inline bool is_result(int rc)
{
    return rc == KIV_OK || (rc >= KIV_ERR_TIMEOUT && rc <= KIV_ERR_LOGIN) || (rc > 0 && rc < 1000);
}

// A heap buffer of exactly n bytes (none for n <= 0), so that the address
// sanitizer sees any byte written or read past the caller's size.
class Buffer {
public:
    explicit Buffer(int n, std::uint8_t fill = 0xA5)
        : size_(n > 0 ? static_cast<std::size_t>(n) : 0), data_(new std::uint8_t[size_])
    {
        for (std::size_t i = 0; i < size_; ++i)
            data_[i] = fill;
    }
    ~Buffer() { delete[] data_; }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    std::uint8_t *data() { return data_; }
    const std::uint8_t *data() const { return data_; }
    std::size_t size() const { return size_; }
    std::uint8_t operator[](std::size_t i) const { return data_[i]; }

private:
    std::size_t size_;
    std::uint8_t *data_;
};

// libFuzzer's watchdog raises SIGALRM every few seconds, and a signal ends
// any wait of the library with EINTR, as kiv.h says. A call whose result
// must not hang on that runs with the signal held back; libFuzzer gets it
// as soon as the call returns.
class AlarmHeld {
public:
    AlarmHeld()
    {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        KIV_FUZZ_CHECK(::pthread_sigmask(SIG_BLOCK, &alarm, &before_) == 0);
    }
    ~AlarmHeld() { ::pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    AlarmHeld(const AlarmHeld &) = delete;
    AlarmHeld &operator=(const AlarmHeld &) = delete;

private:
    sigset_t before_{};
};

// Every byte from from on still holds the fill: nothing was written there.
inline bool untouched(const Buffer &buf, std::size_t from = 0)
{
    for (std::size_t i = from; i < buf.size(); ++i)
        if (buf[i] != 0xA5)
            return false;
    return true;
}

} // namespace kivfuzz
