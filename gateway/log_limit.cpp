#include "log_limit.h"

#include <algorithm>

namespace gateway {

LogLimiter::LogLimiter(std::chrono::seconds window, std::size_t kinds_limit)
    : window_(window), kinds_limit_(std::max<std::size_t>(kinds_limit, 1))
{
}

void LogLimiter::log(Level l, const std::string &kind, const std::string &text, Clock::time_point now)
{
    if (!log_enabled(l))
        return;
    std::lock_guard lock(mu_);
    // Other kinds' ended windows are told now and then, not at every line:
    // the sweep walks them all.
    if (now >= next_sweep_) {
        close_ended(now);
        next_sweep_ = now + std::chrono::seconds(1);
    }
    auto w = windows_.find(kind);
    if (w != windows_.end() && now - w->second.start >= window_) {
        close(w);
        w = windows_.end();
    }
    if (w != windows_.end()) {
        ++w->second.held;
        w->second.level = l;
        w->second.last = text;
        return;
    }
    if (windows_.size() >= kinds_limit_) {
        close_ended(now);
        if (windows_.size() >= kinds_limit_)
            close(std::min_element(windows_.begin(), windows_.end(),
                                   [](auto &a, auto &b) { return a.second.start < b.second.start; }));
    }
    windows_.emplace(kind, Window{now, l, 0, {}});
    gateway::log(l, text);
}

void LogLimiter::flush()
{
    std::lock_guard lock(mu_);
    for (auto w = windows_.begin(); w != windows_.end();)
        w = close(w);
}

LogLimiter::Map::iterator LogLimiter::close(Map::iterator w)
{
    const Window &x = w->second;
    if (x.held > 0)
        gateway::log(x.level, w->first + ": " + std::to_string(x.held) + " more in the " +
                                  std::to_string(window_.count()) + " s after the first; the last: " + x.last);
    return windows_.erase(w);
}

void LogLimiter::close_ended(Clock::time_point now)
{
    for (auto w = windows_.begin(); w != windows_.end();)
        w = now - w->second.start >= window_ ? close(w) : std::next(w);
}

LogLimiter &log_limiter()
{
    static LogLimiter the{std::chrono::seconds(60), 4096};
    return the;
}

} // namespace gateway
