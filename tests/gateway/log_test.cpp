// The log in-process: what came from outside cannot forge a line or reach
// the terminal raw, and a kind of line repeated without end is counted.
#include "log.h"
#include "log_limit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace gateway;
using namespace std::chrono_literals;

// What f wrote on standard error, which goes to a file meanwhile.
template <class F> std::string stderr_of(F f)
{
    char path[] = "/tmp/kiv-log-test-XXXXXX";
    const int file = ::mkstemp(path), saved = ::dup(2);
    ::unlink(path);
    std::fflush(stderr);
    ::dup2(file, 2);
    f();
    std::fflush(stderr);
    ::dup2(saved, 2);
    std::string s(static_cast<std::size_t>(::lseek(file, 0, SEEK_END)), '\0');
    EXPECT_EQ(::pread(file, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
    ::close(saved);
    ::close(file);
    return s;
}

TEST(Log, ControlBytesAreEscapedAndRepeatsCountedPerKind)
{
    const std::string err = stderr_of([] {
        // A newline that would start a forged line, ESC, NUL, DEL, a C1
        // control and a byte that is not UTF-8; the degree sign stays.
        const char payload[] = "x\nkiv-gateway: error: F\x1b[31m\0\x7f\t\r 25 \xc2\xb0" "C \xc2\x9b\xff";
        log(Level::warn, std::string(payload, sizeof payload - 1));

        LogLimiter lim(60s, 2);
        const auto t = LogLimiter::Clock::time_point{} + 1000s;
        lim.log(Level::warn, "a", "a1", t);
        lim.log(Level::warn, "a", "a2", t + 1s);
        lim.log(Level::warn, "b", "b1", t + 1s);
        lim.log(Level::warn, "a", "a3", t + 59s);
        lim.log(Level::debug, "a", "not shown, not counted", t + 59s);
        lim.log(Level::warn, "a", "a4", t + 61s);  // a's window has ended
        lim.log(Level::warn, "c", "c1", t + 62s);
        lim.log(Level::warn, "a", "a5", t + 62s);
        lim.log(Level::warn, "d", "d1", t + 63s);  // a third kind ends the oldest window
        lim.log(Level::warn, "d", "d2", t + 64s);
        lim.flush();
    });
    EXPECT_EQ(err, "kiv-gateway: warn: x\\nkiv-gateway: error: F\\x1b[31m\\x00\\x7f\\t\\r 25 \xc2\xb0" "C \\xc2\\x9b\\xff\n"
                   "kiv-gateway: warn: a1\n"
                   "kiv-gateway: warn: b1\n"
                   "kiv-gateway: warn: a: 2 more in the 60 s after the first; the last: a3\n"
                   "kiv-gateway: warn: a4\n"
                   "kiv-gateway: warn: c1\n"
                   "kiv-gateway: warn: a: 1 more in the 60 s after the first; the last: a5\n"
                   "kiv-gateway: warn: d1\n"
                   "kiv-gateway: warn: d: 1 more in the 60 s after the first; the last: d2\n");
}
