// The program's wait for SIGINT, SIGTERM and whatever else it handles
// itself. The handler writes each signal's number to a pipe, so that a
// wait never misses one that came between a check and the wait.
//
// Where the signals land is the program's choice:
// - in_wait: blocked in the constructing thread and every thread it starts
//   from then on, and let through by wait() alone. A worker's call is
//   never cut short, and a signal waits for the next wait().
// - any_time: taken whenever they come; a call in progress in the thread
//   that takes one ends with EINTR, so that a stop does not wait for it.
//
// One per process: a signal's handler is the whole process's.
#pragma once

#include <signal.h>

#include <initializer_list>

namespace common {

class SignalWait {
public:
    enum class Delivery { in_wait, any_time };

    SignalWait(std::initializer_list<int> signals, Delivery delivery);
    // Signals that come later are ignored: the program is ending, and one
    // more Ctrl-C must not cut its goodbye short.
    ~SignalWait();
    SignalWait(const SignalWait &) = delete;
    SignalWait &operator=(const SignalWait &) = delete;

    // False when the pipe could not be made: wait() then only sleeps.
    bool ok() const;
    // The next signal taken, waiting up to timeout_ms for one (0: no wait);
    // 0 when none came.
    int wait(int timeout_ms);
    // Whether SIGINT or SIGTERM has come, taken by a wait or not yet.
    bool stop_requested() const;

private:
    sigset_t signals_;
    Delivery delivery_;
};

} // namespace common
