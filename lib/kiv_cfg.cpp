// The configuration dialogue (login, line exchange, exit) and the generic
// parameter functions built on it. The dialogue is silent: every outcome is
// told by the result code alone.
#include "kiv.h"
#include "kiv_cfg.h"
#include "kiv_net.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace {

using kiv::net::Diagnostics;
using namespace kiv::cfg;

// One receive takes at most this much of an answer; whatever is left stays
// queued for the next exchange.
constexpr std::size_t answer_capacity = 256;
// A login answer longer than "A:LoginOK\r\n" is a refusal anyway.
constexpr std::size_t login_answer_capacity = 32;
constexpr std::string_view login_ok = "A:LoginOK\r\n";
// The longest line built here, "S:u8_povp=-2147483648\r\n", has 23 bytes.
constexpr std::size_t line_capacity = 32;
// SaveExit has no timeout argument; the module answers before it reboots.
constexpr int save_timeout_ms = 100;

// A request line, built in place. Adding never writes past the capacity.
class Line {
public:
    constexpr Line &add(std::string_view s)
    {
        for (char c : s)
            if (size_ < text_.size())
                text_[size_++] = c;
        return *this;
    }

    // A signed 32-bit decimal, as "%d" writes it.
    constexpr Line &add(std::int32_t v)
    {
        std::array<char, 11> digits{};
        std::size_t n = 0;
        // Negate as unsigned: -2147483648 has no positive int.
        std::uint32_t magnitude =
            v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (v < 0)
            add("-");
        while (n > 0)
            add(std::string_view(&digits[--n], 1));
        return *this;
    }

    constexpr std::string_view view() const { return {text_.data(), size_}; }

    // What the module sends back for a set line: the same line with A for S.
    constexpr Line echo() const
    {
        Line e = *this;
        if (e.size_ > 0)
            e.text_[0] = 'A';
        return e;
    }

private:
    std::array<char, line_capacity> text_{};
    std::size_t size_ = 0;
};

// One received answer, NUL-terminated after its received bytes.
struct Answer {
    std::array<unsigned char, answer_capacity + 1> bytes{};
    std::size_t size = 0;

    // The answer as the text functions see it: up to its first NUL.
    std::string_view text() const
    {
        return std::string_view(reinterpret_cast<const char *>(bytes.data()));
    }
    // Every received byte, NULs included.
    std::string_view received() const
    {
        return {reinterpret_cast<const char *>(bytes.data()), size};
    }
    // One receive may take an answer whose line end is still in flight;
    // its digits may be cut short, so it holds no value yet.
    bool ends_line() const { return received().ends_with("\r\n"); }
    // Drops the CR LF, counted from the received length.
    void cut_line_end() { bytes[size - 2] = '\0'; }
};

std::span<const unsigned char> as_bytes(std::string_view s)
{
    return {reinterpret_cast<const unsigned char *>(s.data()), s.size()};
}

// One send of the whole line, one wait, one receive.
int exchange(int handle, int timeout, std::string_view line, Answer &answer)
{
    if (const int rc = kiv::net::send_request(handle, as_bytes(line), Diagnostics::quiet))
        return rc;
    const auto room = std::span{answer.bytes}.first(answer_capacity);
    if (const int rc = kiv::net::wait_reply(handle, timeout, room, Diagnostics::quiet, answer.size))
        return rc;
    answer.bytes[answer.size] = '\0';
    return KIV_OK;
}

// A parameter holding one 32-bit word. An answer is taken when it is longer
// than min_answer and holds the prefix; the value is read at the prefix's
// length from the start.
struct Param {
    std::string_view key;
    std::string_view prefix;
    std::size_t min_answer;
};

// "u8_povp" needs at least one digit before its CR LF; the others take an
// empty value, which reads as 0.
constexpr Param power_on_value{"u8_povp", "A:u8_povp=", 12};
constexpr Param ai_enable{"ai_en", "A:ai_en=", 8};
constexpr Param tc_enable{"tc_en", "A:tc_en=", 8};
constexpr Param ai_polarity{"ai_pl", "A:ai_pl=", 8};
constexpr std::string_view range_key = "ai_range_";
constexpr std::string_view range_prefix = "A:ai_range_";
constexpr std::size_t range_min_answer = 8;
constexpr unsigned char range_current = 10; // 0 to 20 mA: unipolar, no pair

Line get_line(std::string_view key)
{
    return Line{}.add("G:").add(key).add("=\r\n");
}

Line set_line(std::string_view key, std::uint32_t word)
{
    return Line{}.add("S:").add(key).add("=").add(static_cast<std::int32_t>(word)).add("\r\n");
}

Line range_get_line(int channel)
{
    return Line{}.add("G:").add(range_key).add(channel).add("=\r\n");
}

Line range_set_line(int channel, int base)
{
    return Line{}.add("S:").add(range_key).add(channel).add("=").add(base).add("\r\n");
}

bool is_answer_to(const Answer &a, const Param &p)
{
    return a.size > p.min_answer && a.ends_line() &&
           a.text().find(p.prefix) != std::string_view::npos;
}

bool echoes(const Answer &a, const Line &sent, std::size_t min_answer)
{
    return a.size > min_answer && a.text().find(sent.echo().view()) != std::string_view::npos;
}

// The text from position at on (empty past its end). Not substr: that may
// throw, and the library links no C++ runtime.
std::string_view tail(std::string_view text, std::size_t at)
{
    at = std::min(at, text.size());
    return {text.data() + at, text.size() - at};
}

// The value of an accepted answer, read at the fixed offset whatever the
// place where the prefix was found.
std::uint32_t value_of(Answer &a, const Param &p)
{
    a.cut_line_end();
    const std::string_view text = a.text();
    return read_u32(tail(text, p.prefix.size()));
}

// Leaves the unexpected answer in the caller's buffer as text, cut to the
// buffer, with its full received length in the count.
int error_text(const Answer &a, unsigned char *data, int size, int *count_out)
{
    if (size > 0) {
        const std::string_view text = a.text();
        const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size) - 1);
        std::copy_n(text.begin(), n, data);
        data[n] = '\0';
    }
    *count_out = static_cast<int>(a.size);
    return KIV_ERR_RESPONSE;
}

// Reads a word and packs bits first .. first + count - 1 into one byte;
// bits at 8 and above of the window fall outside it.
int get_bits(const Param &p, int handle, int timeout, int first, int count, unsigned char *data,
             int size, int *count_out)
{
    if (count_out == nullptr)
        return KIV_ERR_PARAM;
    *count_out = 0;
    if (data == nullptr || size < 1 || !window_fits(first, count))
        return KIV_ERR_PARAM;
    Answer answer;
    if (const int rc = exchange(handle, timeout, get_line(p.key).view(), answer))
        return rc;
    if (!is_answer_to(answer, p))
        return error_text(answer, data, size, count_out);
    const std::uint32_t word = value_of(answer, p);
    unsigned byte = 0;
    for (int i = 0; i < count; ++i)
        byte |= ((word >> (first + i)) & 1u) << i;
    data[0] = static_cast<unsigned char>(byte);
    *count_out = 1;
    return KIV_OK;
}

// Read, replace the window with the low bits of value, write, and have the
// module echo the written line.
int set_bits(const Param &p, int handle, int timeout, int first, int count, int value,
             unsigned char *data, int size, int *count_out)
{
    if (count_out == nullptr)
        return KIV_ERR_PARAM;
    *count_out = 0;
    if (data == nullptr || !window_fits(first, count))
        return KIV_ERR_PARAM;
    Answer answer;
    if (const int rc = exchange(handle, timeout, get_line(p.key).view(), answer))
        return rc;
    // Only a value the module plainly said is modified and written back.
    std::uint32_t word = 0;
    if (!stated_value(answer.received(), p.prefix, word))
        return error_text(answer, data, size, count_out);
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < count; ++i) {
        const std::uint32_t at = 1u << (first + i);
        word = ((bits >> i) & 1u) ? (word | at) : (word & ~at);
    }
    const Line sent = set_line(p.key, word);
    if (const int rc = exchange(handle, timeout, sent.view(), answer))
        return rc;
    if (!echoes(answer, sent, p.min_answer))
        return error_text(answer, data, size, count_out);
    return KIV_OK;
}

} // namespace

extern "C" {

int KIV_Cfg_Login(const char *address, int port, int timeout, const char *password,
                  int *handle_out)
{
    if (address == nullptr || password == nullptr || handle_out == nullptr)
        return KIV_ERR_PARAM;
    int fd = -1;
    if (const int rc = kiv::net::connect_with_deadline(address, port, timeout, fd))
        return rc;
    *handle_out = fd;

    Line line;
    line.add("L:");
    if (password[0] != '\0') {
        std::array<unsigned char, password_size> bytes{};
        std::copy_n(password, password_size, bytes.begin());
        std::array<char, password_code_size + 1> code{};
        makePassword(bytes, code);
        line.add(std::string_view(code.data(), password_code_size));
    }
    line.add("\r\n");
    // A line that did not go out shows as a missing answer.
    (void)kiv::net::send_request(fd, as_bytes(line.view()), Diagnostics::quiet);

    std::array<unsigned char, login_answer_capacity + 1> answer{};
    std::size_t received = 0;
    const int rc = kiv::net::wait_reply(fd, timeout, std::span{answer}.first(login_answer_capacity),
                                        Diagnostics::quiet, received);
    if (rc != KIV_OK) {
        ::close(fd);
        return rc;
    }
    answer[received] = '\0';
    // Compared as strings: a NUL right after the line still matches, more
    // bytes or a part of the line do not.
    if (std::string_view(reinterpret_cast<const char *>(answer.data())) != login_ok) {
        ::close(fd);
        return KIV_ERR_LOGIN;
    }
    *handle_out = fd;
    return KIV_OK;
}

int request_response(int handle, int timeout, const char *request, char *answer, int *answer_len)
{
    if (request == nullptr || answer == nullptr || answer_len == nullptr)
        return KIV_ERR_PARAM;
    Answer received;
    if (const int rc = exchange(handle, timeout, request, received))
        return rc;
    std::copy_n(received.bytes.begin(), received.size + 1, answer);
    *answer_len = static_cast<int>(received.size);
    return KIV_OK;
}

int KIV_Cfg_Exit(int handle)
{
    ::close(handle);
    return KIV_OK;
}

int KIV_Cfg_SaveExit(int handle)
{
    Answer answer;
    const int rc = exchange(handle, save_timeout_ms, "S:save=1&reboot=1\r\n", answer);
    ::close(handle);
    return rc;
}

int KIV_Cfg_Get_DO_PowerOnValue(int handle, int timeout, int first, int count,
                                unsigned char *data, int size, int *count_out)
{
    return get_bits(power_on_value, handle, timeout, first, count, data, size, count_out);
}

int KIV_Cfg_Set_DO_PowerOnValue(int handle, int timeout, int first, int count, int value,
                                unsigned char *data, int size, int *count_out)
{
    return set_bits(power_on_value, handle, timeout, first, count, value, data, size, count_out);
}

int KIV_Cfg_Get_AI_Enable(int handle, int timeout, int first, int count, unsigned char *data,
                          int size, int *count_out)
{
    return get_bits(ai_enable, handle, timeout, first, count, data, size, count_out);
}

int KIV_Cfg_Set_AI_Enable(int handle, int timeout, int first, int count, int value,
                          unsigned char *data, int size, int *count_out)
{
    return set_bits(ai_enable, handle, timeout, first, count, value, data, size, count_out);
}

int KIV_Cfg_Get_TC_Enable(int handle, int timeout, int first, int count, unsigned char *data,
                          int size, int *count_out)
{
    return get_bits(tc_enable, handle, timeout, first, count, data, size, count_out);
}

int KIV_Cfg_Set_TC_Enable(int handle, int timeout, int first, int count, int value,
                          unsigned char *data, int size, int *count_out)
{
    return set_bits(tc_enable, handle, timeout, first, count, value, data, size, count_out);
}

int KIV_Cfg_Get_AI_Range(int handle, int timeout, int first, int count, unsigned char *codes,
                         int size, int *count_out)
{
    if (count_out == nullptr)
        return KIV_ERR_PARAM;
    *count_out = 0;
    if (codes == nullptr || !window_fits(first, count))
        return KIV_ERR_PARAM;
    // No more codes than the buffer holds; channels past it are not asked.
    const int stored = std::min(count, std::max(size, 0));

    Answer answer;
    if (const int rc = exchange(handle, timeout, get_line(ai_polarity.key).view(), answer))
        return rc;
    if (!is_answer_to(answer, ai_polarity))
        return error_text(answer, codes, size, count_out);
    const std::uint32_t polarity = value_of(answer, ai_polarity);

    // Collected here first: a failure part-way leaves the caller's codes as
    // they were, apart from the error text.
    std::array<unsigned char, word_bits> read{};
    for (int i = 0; i < stored; ++i) {
        const int channel = first + i;
        if (const int rc = exchange(handle, timeout, range_get_line(channel).view(), answer))
            return rc;
        // The channel number inside the answer is not compared: answers
        // come in the order of the requests.
        // A malformed channel answer fails the read with its text but a
        // count of 0: no code of this read is to be taken.
        if (answer.size <= range_min_answer || !answer.ends_line() ||
            answer.text().find(range_prefix) == std::string_view::npos) {
            const int rc = error_text(answer, codes, size, count_out);
            *count_out = 0;
            return rc;
        }
        answer.cut_line_end();
        const std::string_view text = answer.text();
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos)
            return error_text(answer, codes, size, count_out);
        auto code = static_cast<unsigned char>(read_u32(tail(text, equals + 1)) & 0xFF);
        // The polarity bit turns an even base value into its unipolar
        // neighbour; the current range has no bipolar twin.
        if (((polarity >> channel) & 1u) && code != range_current)
            ++code;
        read[static_cast<std::size_t>(i)] = code;
    }
    std::copy_n(read.begin(), stored, codes);
    *count_out = stored;
    return KIV_OK;
}

int KIV_Cfg_Set_AI_Range(int handle, int timeout, int first, int count, unsigned char *codes,
                         int size, int channels)
{
    // The size and the channel count are the caller's echo of its own
    // arguments; the model entry point has checked them.
    (void)size;
    (void)channels;
    if (codes == nullptr || !window_fits(first, count))
        return KIV_ERR_PARAM;
    Answer answer;
    if (const int rc = exchange(handle, timeout, get_line(ai_polarity.key).view(), answer))
        return rc;
    std::uint32_t polarity = 0;
    if (!stated_value(answer.received(), ai_polarity.prefix, polarity))
        return KIV_ERR_RESPONSE;

    // Every channel's base value goes out before the polarity word, so a
    // failure part-way leaves the word as the module had it.
    for (int i = 0; i < count; ++i) {
        const int channel = first + i;
        const unsigned char code = codes[i];
        const std::uint32_t bit = 1u << channel;
        int base = code;
        if (code == range_current) {
            polarity |= bit;
        } else if (code < range_current) {
            base = code & ~1;
            polarity = (code & 1) ? (polarity | bit) : (polarity & ~bit);
        }
        // Codes above 10 name no range: sent as they are, polarity kept.
        const Line sent = range_set_line(channel, base);
        if (exchange(handle, timeout, sent.view(), answer) != KIV_OK)
            return KIV_ERR_RESPONSE;
        if (!echoes(answer, sent, range_min_answer))
            return KIV_ERR_RESPONSE;
    }
    const Line sent = set_line(ai_polarity.key, polarity);
    if (const int rc = exchange(handle, timeout, sent.view(), answer))
        return rc;
    return echoes(answer, sent, ai_polarity.min_answer) ? KIV_OK : KIV_ERR_RESPONSE;
}

} // extern "C"
