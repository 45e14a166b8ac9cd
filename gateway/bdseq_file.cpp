#include "bdseq_file.h"

#include "log.h"
#include "small_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace gateway {

std::string bdseq_path(const std::string &state_file)
{
    if (!state_file.empty())
        return state_file;
    const char *dirs = std::getenv("STATE_DIRECTORY");
    if (dirs && *dirs) {
        std::string first(dirs);
        first = first.substr(0, first.find(':'));
        return first + "/sparkplug-bdseq";
    }
    return "sparkplug-bdseq";
}

BdSeqFile::BdSeqFile(std::string path) : path_(std::move(path))
{
    if (::access(path_.c_str(), F_OK) != 0 && errno == ENOENT) {
        // The first run: nothing to go on from.
    } else if (auto text = read_small_file(path_)) {
        char *end = nullptr;
        errno = 0;
        const unsigned long v = std::strtoul(text->c_str(), &end, 10);
        if (end != text->c_str() && errno == 0 && v <= 255 && (*end == '\0' || *end == '\n'))
            n_ = static_cast<std::uint8_t>(v);
        else
            log(Level::warn, "Sparkplug bdSeq file " + path_ + " holds no number 0..255; starting from 0");
    } else {
        log(Level::warn, "Sparkplug bdSeq: " + text.why().answer + "; starting from 0");
    }
    write_next();
}

void BdSeqFile::advance()
{
    n_ = static_cast<std::uint8_t>(n_ + 1);
    write_next();
}

// Written aside and renamed over: a crash leaves the old number or the new,
// never half of one.
void BdSeqFile::write_next()
{
    const std::string next = std::to_string(static_cast<std::uint8_t>(n_ + 1)) + "\n";
    const std::string aside = path_ + ".new";
    const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0 && ::write(fd, next.data(), next.size()) == static_cast<ssize_t>(next.size());
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(aside.c_str(), path_.c_str()) == 0;
    if (!ok && !said_)
        log(Level::warn, "cannot write the Sparkplug bdSeq file " + path_ + ": " + std::strerror(errno) +
                             "; a restart may reuse a bdSeq");
    said_ = !ok;
}

} // namespace gateway
