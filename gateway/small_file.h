// The files that the configuration names, and the configuration itself:
// small regular files, read without ever waiting on a writer.
#pragma once

#include <cstddef>
#include <string>

namespace gateway {

// Configurations, password files and CA bundles are far smaller; anything
// larger is a mistake (a log, a disk image) that should not be read whole.
constexpr std::size_t small_file_limit = 1024 * 1024;

// Reads the whole of path, a regular file (or a symbolic link to one) of at
// most small_file_limit bytes, into out. A FIFO, a device or a directory is
// refused without reading it. False with error, which names the file and
// says why ("... is not a regular file (a directory)").
bool read_small_file(const std::string &path, std::string &out, std::string &error);

} // namespace gateway
