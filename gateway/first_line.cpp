#include "first_line.h"

#include "small_file.h"

namespace gateway {

bool read_first_line(const std::string &path, std::string &out, std::string &error)
{
    std::string text;
    if (!read_small_file(path, text, error))
        return false;
    out = text.substr(0, text.find('\n'));
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return true;
}

} // namespace gateway
