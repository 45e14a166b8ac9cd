#include "stdout_lines.h"

#include "payload.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace gateway {

StdoutLines::StdoutLines(const Config &c) : config_(c), filters_(c.modules)
{
    std::fflush(stdout);
    const int own = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (own >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0)
        fd_ = own;
    else if (own >= 0)
        ::close(own);
}

StdoutLines::~StdoutLines()
{
    flush();
    if (fd_ != STDOUT_FILENO)
        ::close(fd_);
}

void StdoutLines::poll(const PollResult &r)
{
    if (r.code != 0 || !filters_.publish(r))
        return;
    pending_ += values_json(config_.modules[r.module].name, r.seq, r.image);
    pending_ += '\n';
}

void StdoutLines::flush()
{
    std::size_t done = 0;
    while (done < pending_.size() && ok_) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok_ = false;
        else
            done += static_cast<std::size_t>(n);
    }
    pending_.clear();
}

} // namespace gateway
