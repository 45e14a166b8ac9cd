// The files that the configuration names, and the configuration itself:
// small regular files, read without ever waiting on a writer.
#pragma once

#include "kiv.hpp"

#include <cstddef>
#include <string>

namespace gateway {

// Configurations, password files and CA bundles are far smaller; anything
// larger is a mistake (a log, a disk image) that should not be read whole.
constexpr std::size_t small_file_limit = 1024 * 1024;

// The whole of path, a regular file (or a symbolic link to one) of at most
// small_file_limit bytes. A FIFO, a device or a directory is refused
// without reading it. A failure's answer is the line that names the file
// and says why ("... is not a regular file (a directory)"); its code is the
// errno, EINVAL for what is not a regular file, EFBIG for one too large.
kiv::result<std::string> read_small_file(const std::string &path);

} // namespace gateway
