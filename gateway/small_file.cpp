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

kiv::failure refused(std::errc code, std::string why)
{
    return {std::make_error_code(code), 0, std::move(why)};
}

kiv::failure failed(const char *doing, const std::string &path)
{
    const int e = errno;
    return {std::error_code(e, std::system_category()), 0, doing + path + ": " + std::strerror(e)};
}

kiv::failure too_large(const std::string &path)
{
    return refused(std::errc::file_too_large, path + " is larger than 1 MiB");
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

kiv::result<std::string> read_small_file(const std::string &path)
{
    // Non-blocking: opening a FIFO for reading would otherwise wait for a
    // writer. What the descriptor is, is asked of the descriptor itself, so
    // that nothing can be swapped in between a look and the open.
    Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat st {};
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0)
        return failed("cannot open ", path);
    if (!S_ISREG(st.st_mode))
        return refused(std::errc::invalid_argument, path + " is not a regular file (" + kind(st.st_mode) + ")");
    if (static_cast<unsigned long long>(st.st_size) > small_file_limit)
        return too_large(path);
    // The file may grow while it is read: a byte past the limit says so.
    std::string text;
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failed("cannot read ", path);
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > small_file_limit)
            return too_large(path);
    }
    return text;
}

} // namespace gateway
