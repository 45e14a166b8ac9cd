#include "common/log.h"

#include <atomic>
#include <cstdio>

namespace common {

namespace {
std::atomic<Level> threshold{Level::info};
constexpr const char *names[] = {"debug", "info", "warn", "error"};

// The length of the UTF-8 sequence at s[i] if it is a well-formed one
// that names no control character, or 0. Reading the log (journald, a
// terminal) goes wrong on bytes that are not UTF-8 as much as on controls.
std::size_t printable_sequence(std::string_view s, std::size_t i)
{
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned lead = b(0);
    const std::size_t n = lead >= 0xc2 && lead < 0xe0   ? 2
                          : lead >= 0xe0 && lead < 0xf0 ? 3
                          : lead >= 0xf0 && lead < 0xf5 ? 4
                                                        : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    unsigned cp = lead & (0x7fu >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(k) & 0xc0) != 0x80)
            return 0;
        cp = cp << 6 | (b(k) & 0x3fu);
    }
    const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp < 0xe000) || cp < 0xa0)
        return 0;
    return n;
}

void write_line(std::string_view program, std::string_view level, std::string_view text)
{
    std::string line(program);
    line += ": ";
    if (!level.empty()) {
        line += level;
        line += ": ";
    }
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}
} // namespace

void set_log_level(Level l)
{
    threshold = l;
}

bool parse_level(const std::string &text, Level &out)
{
    for (int i = 0; i < 4; ++i)
        if (text == names[i]) {
            out = static_cast<Level>(i);
            return true;
        }
    return false;
}

bool log_enabled(Level l)
{
    return l >= threshold.load();
}

std::string escape_for_log(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = c >= 0x80 ? printable_sequence(text, i) : 0; n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            static constexpr char digits[] = "0123456789abcdef";
            const char *named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
            if (named)
                out += named;
            else
                out += {'\\', 'x', digits[c >> 4], digits[c & 15]};
            ++i;
        }
    }
    return out;
}

void log(std::string_view program, Level l, std::string_view text)
{
    if (log_enabled(l))
        write_line(program, names[static_cast<int>(l)], escape_for_log(text));
}

void log_line(std::string_view program, std::string_view text)
{
    write_line(program, {}, text);
}

} // namespace common
