// The program's wait for SIGINT, SIGTERM and whatever else it handles
// itself; a signal that comes between a check and the wait is not missed.
//
// Where the signals land is the program's choice:
// - in_wait: blocked in the constructing thread and every thread it starts
//   from then on, and taken by wait() alone, straight from the pending
//   ones. A worker's call is never cut short.
// - any_time: taken whenever they come, by a handler that writes their
//   number to a pipe that wait() reads; a call in progress in the thread
//   that takes one ends with EINTR, so that a stop does not wait for it.
//
// One per process: a signal's handling is the whole process's.
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

    // False when any_time's pipe could not be made: wait() then only sleeps.
    bool ok() const;
    // The next signal taken, waiting up to timeout_ms for one (0: no wait);
    // 0 when none came.
    int wait(int timeout_ms);
    // Whether SIGINT or SIGTERM has come.
    bool stop_requested() const;

private:
    sigset_t signals_;
    Delivery delivery_;
};

} // namespace common
