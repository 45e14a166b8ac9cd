// What the kernel counts for another process, read from /proc.
#pragma once

#include <sys/types.h>

#include <map>

namespace gwbench {

// User plus system CPU seconds of all the process's threads; -1 if the
// process is gone or the file unreadable.
double process_cpu_seconds(pid_t pid);

// The same per thread (/proc/PID/task/TID/stat), by thread id.
std::map<pid_t, double> thread_cpu_seconds(pid_t pid);

// Peak resident set (VmHWM) in KiB; -1 if unknown.
long peak_rss_kib(pid_t pid);

// Bytes the process caused to be sent to the block layer (write_bytes of
// /proc/PID/io, all its threads); -1 if unreadable. A file on tmpfs never
// reaches it, so writes there count nothing.
long long write_bytes(pid_t pid);

// Monotonic seconds, for the window's wall time.
double monotonic_seconds();

} // namespace gwbench
