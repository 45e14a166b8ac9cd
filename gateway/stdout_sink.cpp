#include "stdout_sink.h"

#include <cstdio>

namespace gateway {

void StdoutSink::values(const std::string &, std::string json)
{
    json += '\n';
    std::lock_guard lock(mu_);
    // Flushed per line: a reader at the other end of a pipe sees each poll
    // as it happens.
    if (std::fwrite(json.data(), 1, json.size(), stdout) != json.size() || std::fflush(stdout) != 0)
        ok_ = false;
}

// The poller logs every change of status already; standard output carries
// the values alone.
void StdoutSink::module_status(const std::string &, bool) {}

bool StdoutSink::ok() const
{
    std::lock_guard lock(mu_);
    return ok_;
}

} // namespace gateway
