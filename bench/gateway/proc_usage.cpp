#include "proc_usage.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace gwbench {

namespace {

double stat_cpu_seconds(const std::string &path)
{
    std::ifstream in(path);
    std::string text;
    if (!std::getline(in, text))
        return -1;
    // The command name in parentheses may hold spaces; the fields follow
    // the last ')', starting at field 3 (state), so utime (14) and stime
    // (15) are the 12th and 13th there.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        else if (i == 13)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    if (!fields)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace

double process_cpu_seconds(pid_t pid)
{
    return stat_cpu_seconds("/proc/" + std::to_string(pid) + "/stat");
}

std::map<pid_t, double> thread_cpu_seconds(pid_t pid)
{
    std::map<pid_t, double> threads;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr)
        return threads;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        const double s = stat_cpu_seconds(dir + "/" + e->d_name + "/stat");
        if (s >= 0)
            threads[static_cast<pid_t>(std::atoi(e->d_name))] = s;
    }
    ::closedir(d);
    return threads;
}

namespace {

// The number after "key" in /proc/<pid>/<file>, a "key: value" line; -1
// when there is none.
long long proc_field(pid_t pid, const char *file, const std::string &key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::strtoll(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

} // namespace

long peak_rss_kib(pid_t pid)
{
    return static_cast<long>(proc_field(pid, "status", "VmHWM:"));
}

long long write_bytes(pid_t pid)
{
    return proc_field(pid, "io", "write_bytes:");
}

double monotonic_seconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace gwbench
