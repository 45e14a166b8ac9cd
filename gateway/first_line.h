// The first line of a small file, such as a password file: what an editor
// leaves after it (LF, or CR LF) is not part of it.
#pragma once

#include <string>

namespace gateway {

// False with error (naming the file) when it cannot be read or is not a
// small regular file (read_small_file).
bool read_first_line(const std::string &path, std::string &out, std::string &error);

} // namespace gateway
