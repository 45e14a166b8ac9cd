#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace kivtest {

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    char name[] = "/tmp/kiv-stdout-XXXXXX";
    file_ = ::mkstemp(name);
    ::unlink(name);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    take();
}

std::string StdoutCapture::take()
{
    if (saved_ < 0)
        return {};
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
    std::string out;
    char buf[256];
    ::lseek(file_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(file_, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(file_);
    file_ = -1;
    return out;
}

} // namespace kivtest
