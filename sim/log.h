// Diagnostics on standard error: errors always, every request and answer
// with --verbose. Standard output carries the ready line alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zrmsim {

void set_verbose(bool on);
bool verbose();

// One whole line on standard error, never interleaved with another thread's.
void log_line(std::string_view line);
inline void vlog(std::string_view line)
{
    if (verbose())
        log_line(line);
}

std::string hex_bytes(const std::uint8_t *p, std::size_t n);
// Text with CR, LF and other control bytes written as escapes.
std::string escaped(std::string_view s);

} // namespace zrmsim
