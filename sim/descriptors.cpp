#include "descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>

namespace zrmsim {

namespace {

std::atomic<bool> keep_low{false};

} // namespace

void raise_descriptor_limit()
{
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
}

void keep_low_descriptors_for_modbus()
{
    keep_low = true;
}

int move_above_select_limit(int fd)
{
    if (!keep_low || fd < 0 || fd >= FD_SETSIZE)
        return fd;
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, FD_SETSIZE);
    if (high < 0)
        return fd;
    ::close(fd);
    return high;
}

} // namespace zrmsim
