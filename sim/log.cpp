#include "log.h"

#include "common/log.h"

#include <atomic>
#include <cstdio>

namespace zrmsim {

namespace {

std::atomic<bool> verbose_on{false};

} // namespace

void set_verbose(bool on)
{
    verbose_on = on;
}

bool verbose()
{
    return verbose_on;
}

void log_line(std::string_view line)
{
    common::log_line("zrm-sim", line);
}

std::string hex_bytes(const std::uint8_t *p, std::size_t n)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0)
            s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 0xF];
    }
    return s;
}

std::string escaped(std::string_view s)
{
    std::string out = "\"";
    for (char c : s) {
        auto b = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (b < 0x20 || b >= 0x7F) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", b);
            out += esc;
        } else
            out += c;
    }
    return out + "\"";
}

} // namespace zrmsim
