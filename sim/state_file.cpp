#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace zrmsim {

namespace {

std::string errno_text(int err)
{
    return std::strerror(err);
}

// The whole file; false with errno set if it cannot be read.
bool read_all(int fd, std::string &text)
{
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

bool write_all(int fd, const std::string &text)
{
    const char *p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// The first byte of a line that no saved setting can hold, named so that a
// NUL or a stray control byte is seen for what it is, or an empty string.
std::string control_byte(const std::string &line)
{
    for (std::size_t i = 0; i < line.size(); ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7f) {
            char text[64];
            std::snprintf(text, sizeof text, "control byte 0x%02x%s at column %zu", c,
                          c == 0 ? " (NUL)" : c == '\r' ? " (CR)" : "", i + 1);
            return text;
        }
    }
    return {};
}

std::string directory_of(const std::string &path)
{
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool load_state(const std::string &path, Model m, Settings &s, bool &found, std::string &error)
{
    found = false;
    const std::string file = "state file " + path;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot read " + file + ": " + errno_text(errno);
        return false;
    }
    std::string text;
    bool read_ok = read_all(fd, text);
    int err = errno;
    ::close(fd);
    if (!read_ok) {
        error = "cannot read " + file + ": " + errno_text(err);
        return false;
    }
    // An empty file is what mktemp or touch leaves for the simulator to fill,
    // not a damaged one: nothing has been saved yet. (A save never leaves one,
    // as it replaces the file by rename.)
    if (text.empty())
        return true;
    found = true;
    Settings loaded = s;
    bool model_seen = false;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string where = file + ", line " + std::to_string(number) + ": ";
        // Files edited on Windows end their lines with CR LF.
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (std::string bad = control_byte(line); !bad.empty()) {
            error = where + bad;
            return false;
        }
        if (line.empty() || line[0] == '#')
            continue;
        auto eq = line.find('=');
        if (eq == std::string::npos) {
            error = where + "expected key=value, not \"" + line + "\"";
            return false;
        }
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "model") {
            if (value != model_info(m).name) {
                error = where + "saved for model " + value + ", not " + model_info(m).name;
                return false;
            }
            model_seen = true;
            continue;
        }
        SetResult r = set_setting(loaded, m, key, value);
        if (r != SetResult::ok) {
            error = where + (r == SetResult::unknown_key ? "unknown key " + key + " for model " + model_info(m).name
                                                         : "bad value \"" + value + "\" for " + key);
            return false;
        }
    }
    if (!model_seen) {
        error = file + ": no model= line, so not a saved state";
        return false;
    }
    s = loaded;
    return true;
}

bool save_state(const std::string &path, Model m, const Settings &s, std::string &error)
{
    std::ostringstream text;
    text << "# zrm-sim saved settings\n";
    text << "model=" << model_info(m).name << '\n';
    for (const auto &key : setting_keys(m))
        text << key << '=' << *get_setting(s, m, key) << '\n';

    // Written beside the file and made durable before the rename, so that
    // after a crash or power loss the file holds either the old settings or
    // the new ones, never a part of them.
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + tmp + ": " + errno_text(errno);
        return false;
    }
    bool ok = write_all(fd, text.str()) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        error = "cannot write " + tmp + ": " + errno_text(err);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + errno_text(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself lives in the directory.
    std::string dir = directory_of(path);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || ::fsync(dfd) != 0) {
        error = path + " written, but its directory " + dir + " cannot be synced: " + errno_text(errno);
        if (dfd >= 0)
            ::close(dfd);
        return false;
    }
    ::close(dfd);
    return true;
}

} // namespace zrmsim
