// --stdout: each poll's values object as one line of JSON Lines. Standard
// output carries nothing else: what the library would print there goes to
// standard error instead (take_stdout), and the log is on standard error.
#pragma once

#include "config.h"
#include "pipeline.h"
#include "report_by_exception.h"

#include <atomic>
#include <string>

namespace gateway {

class StdoutLines final : public Output {
public:
    // Keeps the descriptor that standard output is now for the values
    // alone and points descriptor 1 at standard error.
    explicit StdoutLines(const Config &c);
    ~StdoutLines() override;

    void poll(const PollResult &r) override;
    void status(const StatusChange &s) override { filters_.status(s); }
    void modules_changed(const ModulesChanged &m) override { filters_.modules_changed(m); }
    // Written once per turn of the loop: a reader at the other end of a
    // pipe sees each batch of polls as it happens.
    void flush() override;
    // False once the values could not be written (a closed pipe); from any
    // thread.
    bool ok() const { return ok_.load(); }

private:
    const Config &config_;
    ExceptionFilters filters_;  // modules that publish on change
    int fd_ = 1;
    std::string pending_;
    std::atomic<bool> ok_{true};
};

} // namespace gateway
