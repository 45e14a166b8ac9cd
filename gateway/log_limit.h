// Lines that a faulty module or a flood from outside would repeat without
// end: the first of a kind goes out, the others within the window after it
// are only counted, and one line tells how many there were and the last of
// them. Safe from any thread, as log() is.
//
// The count of a window is told by the first line of any kind after the
// window has ended (a line of the same kind then opens a new window and
// goes out), and by flush(), which the gateway calls when it stops: a kind
// that stops repeating still gets its count told. Memory is bounded by
// kinds_limit; a new kind beyond it first ends the oldest window early.
#pragma once

#include "log.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace gateway {

class LogLimiter {
public:
    using Clock = std::chrono::steady_clock;

    LogLimiter(std::chrono::seconds window, std::size_t kinds_limit);

    // kind: what is repeated and by whom, e.g. "module oven1 offline"; it
    // starts the count's line ("<kind>: 412 more ...").
    void log(Level l, const std::string &kind, const std::string &text, Clock::time_point now = Clock::now());
    // Tells the counts of every window with lines held back.
    void flush();

private:
    struct Window {
        Clock::time_point start;
        Level level = Level::info;  // of the last line held back
        std::size_t held = 0;
        std::string last;
    };
    using Map = std::unordered_map<std::string, Window>;

    Map::iterator close(Map::iterator w);
    void close_ended(Clock::time_point now);

    const std::chrono::seconds window_;
    const std::size_t kinds_limit_;
    std::mutex mu_;
    Map windows_;
    Clock::time_point next_sweep_{};
};

// The gateway's limiter: a window of 60 s, and a few kinds for each of a
// thousand modules.
LogLimiter &log_limiter();
inline void log_limited(Level l, const std::string &kind, const std::string &text)
{
    log_limiter().log(l, kind, text);
}

} // namespace gateway
