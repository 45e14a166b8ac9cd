// Report by exception: a module whose publish is "change" has its values
// published when something in them changed, and whole again at least every
// heartbeat_s all the same, so that a subscriber knows the module is there.
#pragma once

#include "config.h"
#include "pipeline.h"
#include "process_image.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace gateway {

// A value moved far enough to be reported: |now - last| > deadband (so
// deadband 0 reports any change). A move of exactly the deadband is not
// one, also where the decimal readings' doubles are a hair apart (1.3 - 1.1
// is 0.2000000000000002).
bool moved(double last, double now, double deadband);

// Whether now differs from last as the module's report goes: a DI/DO state,
// a sensor register, an AI channel's enabled flag, a TC's enabled flag or
// faults, or an AI value / TC temperature or reference that moved beyond
// the deadband. A disabled channel's values are no measurement (its
// quality says "disabled"): they are not compared.
bool image_changed(const ProcessImage &last, const ProcessImage &now, double deadband);

// One module's filter: whether a poll is published (its first, a change,
// the heartbeat), remembering what was. The deadband compares to the last
// PUBLISHED value, not the last polled one, so that a slow drift is
// reported once it has moved far enough. The heartbeat counts poll periods
// (seq): the last period that keeps the gap within heartbeat_s, whatever
// the jitter of the replies.
class ExceptionFilter {
public:
    explicit ExceptionFilter(const ModuleConfig &m);
    // Whether the poll of period seq with this image is published.
    bool publish(std::uint64_t seq, const ProcessImage &image);
    // Forgets what was published: the next poll is published (a module
    // back from offline).
    void reset() { last_.reset(); }

private:
    double deadband_;
    std::uint64_t heartbeat_periods_;
    std::optional<ProcessImage> last_;
    std::uint64_t last_seq_ = 0;
};

// The filters of an output's module slots, told of polls, statuses and
// reloads as the output is. A module that publishes every poll has none.
class ExceptionFilters {
public:
    explicit ExceptionFilters(const std::vector<ModuleConfig> &modules);
    // Whether a successful poll's values are published.
    bool publish(const PollResult &r);
    // Offline: the first poll after it comes back is published.
    void status(const StatusChange &s);
    // Added and changed slots start afresh, removed ones are forgotten.
    void modules_changed(const ModulesChanged &m);

private:
    std::optional<ExceptionFilter> make(const ModuleConfig &m) const;
    std::vector<std::optional<ExceptionFilter>> filters_;
};

} // namespace gateway
