#include "first_line.h"

#include "small_file.h"

namespace gateway {

kiv::result<std::string> read_first_line(const std::string &path)
{
    auto text = read_small_file(path);
    if (!text)
        return text;
    std::string line = text->substr(0, text->find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace gateway
