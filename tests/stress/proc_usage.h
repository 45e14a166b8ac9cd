// What this process holds, from /proc: open descriptors and resident memory.
#pragma once

#include <dirent.h>
#include <fstream>
#include <string>

namespace kivstress {

inline int open_descriptors()
{
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (const dirent *e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n - 1; // the directory's own descriptor
}

// VmRSS in KiB.
inline long resident_kib()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(256, '\n');
    }
    return -1;
}

} // namespace kivstress
