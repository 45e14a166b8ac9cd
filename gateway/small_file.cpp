#include "small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace gateway {

namespace {

const char *kind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "of an unknown kind";
}

std::string too_large(const std::string &path)
{
    return path + " is larger than 1 MiB";
}

// Closes the descriptor on every way out.
struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

bool read_small_file(const std::string &path, std::string &out, std::string &error)
{
    // Non-blocking: opening a FIFO for reading would otherwise wait for a
    // writer. What the descriptor is, is asked of the descriptor itself, so
    // that nothing can be swapped in between a look and the open.
    Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (f.fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file (" + kind(st.st_mode) + ")";
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > small_file_limit) {
        error = too_large(path);
        return false;
    }
    // The file may grow while it is read: a byte past the limit says so.
    std::string text;
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > small_file_limit) {
            error = too_large(path);
            return false;
        }
    }
    out = std::move(text);
    return true;
}

} // namespace gateway
