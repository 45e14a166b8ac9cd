// A rate with a short burst: tokens come at per_s a second, up to a fifth
// of a second's worth (and one), so that a late turn of the loop does not
// send a burst of a backlog at once.
#pragma once

#include "loop.h"

#include <algorithm>
#include <cstddef>

namespace gateway {

class TokenBucket {
public:
    explicit TokenBucket(double per_s) : per_s_(per_s) {}
    // Tokens come from now on (what was there stays).
    void restart(Clock::time_point now) { last_ = now; }
    // The whole tokens there are at now.
    std::size_t available(Clock::time_point now)
    {
        const double since = std::chrono::duration<double>(now - last_).count();
        tokens_ = std::min(tokens_ + per_s_ * since, per_s_ * 0.2 + 1);
        last_ = now;
        return static_cast<std::size_t>(tokens_);
    }
    void spend(std::size_t n) { tokens_ -= static_cast<double>(n); }

private:
    double per_s_;
    double tokens_ = 0;
    Clock::time_point last_{};
};

} // namespace gateway
