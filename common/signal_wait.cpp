#include "common/signal_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace common {

namespace {

int pipe_ends[2] = {-1, -1};
volatile sig_atomic_t stop_seen = 0;

void note(int sig)
{
    if (sig == SIGINT || sig == SIGTERM)
        stop_seen = 1;
}

extern "C" void on_signal(int sig)
{
    note(sig);
    const int saved = errno;
    const auto b = static_cast<unsigned char>(sig);
    // The write end does not block: with the pipe full, a signal is lost
    // only when hundreds more wait to be taken.
    [[maybe_unused]] auto n = ::write(pipe_ends[1], &b, 1);
    errno = saved;
}

int take_one()
{
    unsigned char b = 0;
    return ::read(pipe_ends[0], &b, 1) == 1 ? b : 0;
}

} // namespace

SignalWait::SignalWait(std::initializer_list<int> signals, Delivery delivery) : delivery_(delivery)
{
    stop_seen = 0;
    sigemptyset(&signals_);
    for (int sig : signals)
        sigaddset(&signals_, sig);
    if (delivery_ == Delivery::in_wait) {
        ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        return;
    }
    if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0)
        pipe_ends[0] = pipe_ends[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a call in progress ends with EINTR
    for (int sig : signals)
        ::sigaction(sig, &sa, nullptr);
}

SignalWait::~SignalWait()
{
    // in_wait's signals stay blocked; any_time's handler stays and writes
    // nowhere.
    for (int &end : pipe_ends) {
        const int fd = end;
        end = -1;
        if (fd >= 0)
            ::close(fd);
    }
}

bool SignalWait::ok() const
{
    return delivery_ == Delivery::in_wait || pipe_ends[0] >= 0;
}

int SignalWait::wait(int timeout_ms)
{
    const int ms = timeout_ms > 0 ? timeout_ms : 0;
    if (delivery_ == Delivery::in_wait) {
        const timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
        const int sig = ::sigtimedwait(&signals_, nullptr, &t);
        note(sig);
        return sig > 0 ? sig : 0;
    }
    if (int sig = take_one())
        return sig;
    if (ms == 0)
        return 0;
    pollfd p{pipe_ends[0], POLLIN, 0};
    ::poll(&p, 1, ms);
    return take_one();
}

bool SignalWait::stop_requested() const
{
    return stop_seen != 0;
}

} // namespace common
