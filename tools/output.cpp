#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/log.h"
#include "kiv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kivtool {

namespace {
std::FILE *tool_out = stdout;
} // namespace

void setup_streams(bool verbose)
{
    std::fflush(stdout);
    int own = ::dup(STDOUT_FILENO);
    if (own < 0)
        return; // no standard output to keep apart: print where we can
    int sink = verbose ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink < 0) {
        ::close(own);
        return;
    }
    ::fcntl(own, F_SETFD, FD_CLOEXEC);
    std::FILE *f = ::fdopen(own, "w");
    if (!f) {
        ::close(own);
        ::close(sink);
        return;
    }
    ::dup2(sink, STDOUT_FILENO);
    ::close(sink);
    // The library's lines then come out at once, in order with the trace.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    tool_out = f;
}

std::FILE *out_stream()
{
    return tool_out;
}

void error_line(std::string_view line)
{
    std::fflush(tool_out);
    common::log_line("kivtool", line);
}

void trace_line(bool verbose, std::string_view line)
{
    if (verbose)
        error_line(line);
}

std::string_view exception_name(unsigned code)
{
    switch (code) {
    case 1: return "illegal function";
    case 2: return "illegal data address";
    case 3: return "illegal data value";
    case 4: return "server device failure";
    case 5: return "acknowledge";
    case 6: return "server device busy";
    case 8: return "memory parity error";
    case 10: return "gateway path unavailable";
    case 11: return "gateway target device failed to respond";
    }
    return {};
}

std::string code_name(int code)
{
    if (const char *name = KIV_Result_Name(code))
        return name;
    // The library names the errno values its calls give; a failed write of
    // our own output can give others (ENOSPC, EIO).
    if (code > 0 && code < 1000)
        if (const char *name = ::strerrorname_np(code))
            return name;
    return kiv::result_name(code);
}

std::string unit_case(std::string_view label)
{
    std::string s(label);
    // The module's labels shout every letter; only the prefix m is lower
    // case in a unit (MV would be megavolts).
    for (std::size_t i = 0; i + 1 < s.size(); ++i)
        if (s[i] == 'M' && (s[i + 1] == 'V' || s[i + 1] == 'A'))
            s[i] = 'm';
    return s;
}

bool output_ok()
{
    static bool reported = false;
    if (std::fflush(tool_out) == 0 && !std::ferror(tool_out))
        return true;
    if (!reported) {
        const int e = errno;
        reported = true;
        common::log_line("kivtool", "write to standard output: " + kiv::result_text(e) + " (" +
                                        code_name(e) + ")");
    }
    return false;
}

std::string hex_bytes(std::span<const unsigned char> bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        if (!s.empty())
            s += ' ';
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string printable(std::string_view text)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (c == '\\')
            s += "\\\\";
        else if (c < 0x20 || c >= 0x7f) {
            s += "\\x";
            s += digits[c >> 4];
            s += digits[c & 15];
        } else
            s += ch;
    }
    return s;
}

std::string json_array(const std::vector<std::string> &raw_items)
{
    common::JsonWriter w;
    w.begin_array();
    for (const std::string &item : raw_items)
        w.raw(item);
    return w.end_array().take();
}

std::string JsonObject::text() const
{
    common::JsonWriter w;
    w.begin_object();
    for (const auto &[key, json] : fields_)
        w.key(key).raw(json);
    return w.end_object().take();
}

std::string Table::text() const
{
    std::vector<std::size_t> width;
    for (const auto &r : rows_)
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (width.size() <= i)
                width.push_back(0);
            width[i] = std::max(width[i], r[i].size());
        }
    std::string s;
    for (const auto &r : rows_) {
        std::string line;
        for (std::size_t i = 0; i < r.size(); ++i) {
            line += r[i];
            if (i + 1 < r.size())
                line += std::string(width[i] - r[i].size() + 2, ' ');
        }
        s += line + "\n";
    }
    return s;
}

} // namespace kivtool
