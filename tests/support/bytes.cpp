#include "bytes.h"

#include <cstdio>
#include <stdexcept>

namespace kivtest {

Bytes hex(std::string_view text)
{
    Bytes out;
    int nibbles = 0;
    unsigned value = 0;
    for (char c : text) {
        if (c == ' ')
            continue;
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            throw std::invalid_argument("bad hex digit in test script");
        value = value * 16 + digit;
        if (++nibbles == 2) {
            out.push_back(static_cast<unsigned char>(value));
            nibbles = 0;
            value = 0;
        }
    }
    if (nibbles != 0)
        throw std::invalid_argument("odd number of hex digits in test script");
    return out;
}

Bytes text(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

std::string to_hex(const Bytes &b)
{
    std::string out;
    char item[4];
    for (unsigned char c : b) {
        std::snprintf(item, sizeof item, "%02x", c);
        if (!out.empty())
            out += ' ';
        out += item;
    }
    return out.empty() ? "(nothing)" : out;
}

Bytes concat(const Bytes &a, const Bytes &b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

} // namespace kivtest
