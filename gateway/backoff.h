// The wait before the next attempt after a failed one: doubling from the
// first to the last wait, each drawn within +-20 % so that peers that
// dropped off together do not all come back in step. A success starts it
// again from the first.
#pragma once

#include <algorithm>
#include <chrono>
#include <random>

namespace gateway {

class Backoff {
public:
    Backoff(std::chrono::milliseconds first, std::chrono::milliseconds last) : first_(first), last_(last) {}

    // Draws from seed's sequence: modules seeded by name spread apart.
    void seed(unsigned s) { random_.seed(s); }

    // The wait after one more failure.
    std::chrono::steady_clock::duration next()
    {
        delay_ = delay_.count() == 0 ? first_ : std::min(delay_ * 2, last_);
        std::uniform_real_distribution<double> spread(0.8, 1.2);
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay_ * spread(random_));
    }
    void reset() { delay_ = {}; }

private:
    std::chrono::milliseconds first_, last_;
    std::chrono::milliseconds delay_{0};
    std::minstd_rand random_;
};

} // namespace gateway
