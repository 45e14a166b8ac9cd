// The first line of a small file, such as a password file: what an editor
// leaves after it (LF, or CR LF) is not part of it.
#pragma once

#include <string>

namespace gateway {

// False when the file cannot be read.
bool read_first_line(const std::string &path, std::string &out);

} // namespace gateway
