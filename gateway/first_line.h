// The first line of a small file, such as a password file: what an editor
// leaves after it (LF, or CR LF) is not part of it.
#pragma once

#include "kiv.hpp"

#include <string>

namespace gateway {

// Fails as read_small_file does when the file cannot be read or is not a
// small regular file.
kiv::result<std::string> read_first_line(const std::string &path);

} // namespace gateway
