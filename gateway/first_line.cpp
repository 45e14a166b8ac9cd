#include "first_line.h"

#include <fstream>

namespace gateway {

bool read_first_line(const std::string &path, std::string &out)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::getline(in, out);
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return true;
}

} // namespace gateway
