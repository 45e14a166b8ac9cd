#include "log.h"

#include <atomic>
#include <cstdio>

namespace gateway {

namespace {
std::atomic<Level> threshold{Level::info};
constexpr const char *names[] = {"debug", "info", "warn", "error"};
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

void log(Level l, const std::string &text)
{
    if (!log_enabled(l))
        return;
    // One write per line, so that lines of different threads never mix.
    std::string line = "kiv-gateway: ";
    line += names[static_cast<int>(l)];
    line += ": ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace gateway
