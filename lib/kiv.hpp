/*
 * kiv.hpp - a C++20 interface to kiv, header-only, over the C API of kiv.h.
 *
 * What it adds to the C calls:
 *   - result codes as std::error_code: the library's own codes 1000..1005 in
 *     the "kiv" category (kiv::errc), errno values in the system category;
 *     kiv::result_text() names any result code in words;
 *   - move-only handles that close themselves: kiv::connection (Modbus/TCP)
 *     and kiv::config_session (the configuration dialogue, ended with
 *     KIV_Cfg_Exit unless it was saved);
 *   - one class per model (kiv::zrm7301, kiv::zrm7302, kiv::zrm7303) whose
 *     methods mirror the entry points and return kiv::result<T>: a value or
 *     an error. Nothing here throws unless result::value() is asked for the
 *     value of a failure, so the header also serves -fno-exceptions code;
 *   - decoders of the AI and TC channel records into plain structs, and the
 *     range codes 0..10 with their labels;
 *   - kiv::client, a module's Modbus/TCP side that owns its connection and
 *     reconnects after every failed exchange, for programs that poll.
 *
 * Everything here is inline and calls only the functions of kiv.h: it adds
 * no symbol to the library. Channel numbers are 1-based, as in the entry
 * points; the library checks them and returns KIV_ERR_PARAM (nothing sent).
 * The rules of kiv.h hold unchanged: one exchange at a time on a handle, and
 * after a timeout a late reply stays in the connection, so close and
 * reconnect (a fresh kiv::connection, or a kiv::client, which does it)
 * when that matters.
 */
#ifndef KIV_HPP
#define KIV_HPP

// One clear error for older C++, not dozens from the code below it.
#if !defined(__cplusplus) || __cplusplus < 202002L
#error "kiv.hpp needs C++20 (-std=c++20; CMake: link kiv::kiv, which asks for it); from C, include kiv.h"
#else

#include "kiv.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace kiv {

/* ------------------------------------------------------------------------
 * Result codes
 * ------------------------------------------------------------------------ */

// The library's own result codes, as an error_code enum of the kiv category.
enum class errc {
    timeout = KIV_ERR_TIMEOUT,
    disconnected = KIV_ERR_DISCONNECTED,
    exception = KIV_ERR_EXCEPTION,
    response = KIV_ERR_RESPONSE,
    param = KIV_ERR_PARAM,
    login = KIV_ERR_LOGIN,
};

} // namespace kiv

template <> struct std::is_error_code_enum<kiv::errc> : std::true_type {};

namespace kiv {

namespace detail {

// The words for the library's own codes; nullptr for any other number.
constexpr const char *own_code_text(int code) noexcept
{
    switch (code) {
    case KIV_ERR_TIMEOUT: return "timeout";
    case KIV_ERR_DISCONNECTED: return "disconnected by the module";
    case KIV_ERR_EXCEPTION: return "Modbus exception";
    case KIV_ERR_RESPONSE: return "unexpected response";
    case KIV_ERR_PARAM: return "argument out of range";
    case KIV_ERR_LOGIN: return "login refused";
    default: return nullptr;
    }
}

class category_impl final : public std::error_category {
public:
    const char *name() const noexcept override { return "kiv"; }
    std::string message(int code) const override
    {
        if (const char *text = own_code_text(code))
            return text;
        return "unknown kiv result " + std::to_string(code);
    }
    // A timeout and a dropped connection are also what the portable
    // conditions say, so callers may test against std::errc.
    std::error_condition default_error_condition(int code) const noexcept override
    {
        switch (code) {
        case KIV_ERR_TIMEOUT: return std::errc::timed_out;
        case KIV_ERR_DISCONNECTED: return std::errc::connection_reset;
        case KIV_ERR_PARAM: return std::errc::invalid_argument;
        case KIV_ERR_LOGIN: return std::errc::permission_denied;
        default: return {code, *this};
        }
    }
};

} // namespace detail

// The "kiv" error category: codes 1000..1005.
inline const std::error_category &category() noexcept
{
    static const detail::category_impl instance;
    return instance;
}

inline std::error_code make_error_code(errc e) noexcept
{
    return {static_cast<int>(e), category()};
}

// A result code of any call as an error_code: 0 is no error, 1000..1005 the
// kiv category, anything else (an errno value) the system category.
inline std::error_code to_error_code(int code) noexcept
{
    if (code == KIV_OK)
        return {};
    if (detail::own_code_text(code))
        return {code, category()};
    return {code, std::system_category()};
}

// Any result code in words: "ok", "timeout", "connection refused" (111),
// "login refused" (1005). Numbers that are neither errno values nor the
// library's read "unknown result code N".
inline std::string result_text(int code)
{
    if (code == KIV_OK)
        return "ok";
    if (const char *text = detail::own_code_text(code))
        return text;
    if (code < 0 || code >= 1000)
        return "unknown result code " + std::to_string(code);
    std::string text = std::system_category().message(code);
    if (text.empty() || text.rfind("Unknown error", 0) == 0)
        return "unknown result code " + std::to_string(code);
    if (text[0] >= 'A' && text[0] <= 'Z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

// The constant's name: "KIV_OK", "KIV_ERR_TIMEOUT", "ECONNREFUSED"
// (KIV_Result_Name), or "errno N" for an errno value it does not name.
inline std::string result_name(int code)
{
    if (const char *name = KIV_Result_Name(code))
        return name;
    return "errno " + std::to_string(code);
}

/* ------------------------------------------------------------------------
 * result<T>: a value or an error
 * ------------------------------------------------------------------------ */

// What a call gave back when it failed: the error, and what the module said
// along with it where the call hands that on.
struct failure {
    std::error_code code;
    // The Modbus exception code for errc::exception from the AI, TC, DI and
    // sensor reads; 0 where the call does not hand it on (the DO calls).
    std::uint8_t exception_code = 0;
    // The module's answer as error text for errc::response from the
    // configuration reads; empty otherwise.
    std::string answer;
};

template <class T> class result {
public:
    result(T value) : value_(std::move(value)) {}
    result(failure f) : failure_(std::move(f)) {}
    result(std::error_code ec) : failure_{ec, 0, {}} {}
    result(errc e) : failure_{make_error_code(e), 0, {}} {}

    bool ok() const noexcept { return !failure_.code; }
    explicit operator bool() const noexcept { return ok(); }

    // The error; a default (false) error_code when the call succeeded.
    const std::error_code &error() const noexcept { return failure_.code; }
    const failure &why() const noexcept { return failure_; }
    // The raw result code as the C call returned it.
    int code() const noexcept { return failure_.code.value(); }

    // The value; only meaningful when ok(). value() on a failure throws
    // std::system_error where exceptions are enabled and aborts otherwise.
    T &value() &
    {
        check();
        return value_;
    }
    const T &value() const &
    {
        check();
        return value_;
    }
    T &&value() &&
    {
        check();
        return std::move(value_);
    }
    T &operator*() & noexcept { return value_; }
    const T &operator*() const & noexcept { return value_; }
    T *operator->() noexcept { return &value_; }
    const T *operator->() const noexcept { return &value_; }
    T value_or(T other) const { return ok() ? value_ : other; }

private:
    void check() const
    {
        if (ok())
            return;
#if defined(__cpp_exceptions)
        throw std::system_error(failure_.code);
#else
        std::abort();
#endif
    }

    T value_{};
    failure failure_;
};

// A call that gives no value: a failure or nothing.
template <> class result<void> {
public:
    result() = default;
    result(failure f) : failure_(std::move(f)) {}
    result(std::error_code ec) : failure_{ec, 0, {}} {}
    result(errc e) : failure_{make_error_code(e), 0, {}} {}

    bool ok() const noexcept { return !failure_.code; }
    explicit operator bool() const noexcept { return ok(); }
    const std::error_code &error() const noexcept { return failure_.code; }
    const failure &why() const noexcept { return failure_; }
    int code() const noexcept { return failure_.code.value(); }

private:
    failure failure_;
};

namespace detail {

inline result<void> status(int rc)
{
    if (rc == KIV_OK)
        return {};
    return to_error_code(rc);
}

// A failure of a buffer read: the exception code sits in the first byte.
inline failure read_failure(int rc, const unsigned char *buf, int len)
{
    failure f{to_error_code(rc), 0, {}};
    if (rc == KIV_ERR_EXCEPTION && len >= 1)
        f.exception_code = buf[0];
    return f;
}

// A failure of a configuration read: the answer text sits in the buffer,
// NUL-ended within it.
inline failure answer_failure(int rc, const unsigned char *buf, std::size_t size)
{
    failure f{to_error_code(rc), 0, {}};
    if (rc == KIV_ERR_RESPONSE && size > 0) {
        std::size_t n = 0;
        while (n < size && buf[n] != 0)
            ++n;
        f.answer.assign(reinterpret_cast<const char *>(buf), n);
    }
    return f;
}

constexpr unsigned u16(const unsigned char *p) noexcept
{
    return static_cast<unsigned>(p[0]) << 8 | p[1];
}

} // namespace detail

/* ------------------------------------------------------------------------
 * Channel records
 * ------------------------------------------------------------------------ */

// A value as the records carry it: sign, integer part, fractional part. Its
// text is what the examples print: integer 12 with fraction 5 reads "12.5",
// with fraction 50 "12.50"; the number is that text read as a decimal.
struct reading {
    bool negative = false;
    unsigned integer = 0;
    unsigned fraction = 0;

    std::string text() const
    {
        // In steps: GCC 12 optimising misjudges "-" + std::to_string(...)
        // as an overlapping copy (-Wrestrict), in the caller's build.
        std::string s = negative ? "-" : "";
        s += std::to_string(integer);
        s += '.';
        s += std::to_string(fraction);
        return s;
    }
    double number() const noexcept
    {
        double scale = 10.0;
        for (unsigned f = fraction; f >= 10; f /= 10)
            scale *= 10.0;
        double magnitude = static_cast<double>(integer) + static_cast<double>(fraction) / scale;
        return negative ? -magnitude : magnitude;
    }
    friend bool operator==(const reading &, const reading &) = default;
};

// One AI channel record (ZRM-7301), 6 bytes.
struct ai_channel {
    bool enabled = false;
    reading value;
    friend bool operator==(const ai_channel &, const ai_channel &) = default;
};

// Fault flags of a TC channel record, in the order the examples print them.
struct tc_fault_info {
    std::uint8_t bit;
    const char *name; // as the examples print it: "Open"
    const char *key;  // a short word for tools: "open"
};
inline constexpr std::array<tc_fault_info, 3> tc_faults{{
    {KIV_TC_FAULT_OPEN, "Open", "open"},
    {KIV_TC_FAULT_SHORT_GND, "Short to GND", "short-gnd"},
    {KIV_TC_FAULT_SHORT_VCC, "Short to VCC", "short-vcc"},
}};

// One TC channel record (ZRM-7303), 10 bytes.
struct tc_channel {
    bool enabled = false;
    reading temperature;
    reading reference;
    // The fault byte with bits 3..7, which carry nothing, cleared.
    std::uint8_t faults = 0;

    bool open() const noexcept { return faults & KIV_TC_FAULT_OPEN; }
    bool short_to_gnd() const noexcept { return faults & KIV_TC_FAULT_SHORT_GND; }
    bool short_to_vcc() const noexcept { return faults & KIV_TC_FAULT_SHORT_VCC; }
    friend bool operator==(const tc_channel &, const tc_channel &) = default;
};

// Decodes one AI record from the first 6 bytes; nothing when fewer are there.
inline std::optional<ai_channel> decode_ai(std::span<const unsigned char> record) noexcept
{
    if (record.size() < KIV_AI_RECORD_SIZE)
        return std::nullopt;
    const unsigned char *r = record.data();
    return ai_channel{r[KIV_AI_ENABLE] == 1,
                      {r[KIV_AI_SIGN] == 1, detail::u16(r + KIV_AI_INTEGER),
                       detail::u16(r + KIV_AI_FRACTION)}};
}

// Decodes one TC record from the first 10 bytes; nothing when fewer are there.
inline std::optional<tc_channel> decode_tc(std::span<const unsigned char> record) noexcept
{
    if (record.size() < KIV_TC_RECORD_SIZE)
        return std::nullopt;
    const unsigned char *r = record.data();
    return tc_channel{r[KIV_TC_ENABLE] == 1,
                      {r[KIV_TC_SIGN] == 1, detail::u16(r + KIV_TC_INTEGER),
                       detail::u16(r + KIV_TC_FRACTION)},
                      {r[KIV_TC_REF_SIGN] == 1, r[KIV_TC_REF_INTEGER], r[KIV_TC_REF_FRACTION]},
                      static_cast<std::uint8_t>(r[KIV_TC_FAULTS] & 0x07)};
}

// The whole records of a read, back to back; a partial last record, whose
// bytes were not all received, is left out.
inline std::vector<ai_channel> decode_ai_records(std::span<const unsigned char> data)
{
    std::vector<ai_channel> out;
    for (std::size_t at = 0; at + KIV_AI_RECORD_SIZE <= data.size(); at += KIV_AI_RECORD_SIZE)
        out.push_back(*decode_ai(data.subspan(at)));
    return out;
}

inline std::vector<tc_channel> decode_tc_records(std::span<const unsigned char> data)
{
    std::vector<tc_channel> out;
    for (std::size_t at = 0; at + KIV_TC_RECORD_SIZE <= data.size(); at += KIV_TC_RECORD_SIZE)
        out.push_back(*decode_tc(data.subspan(at)));
    return out;
}

/* ------------------------------------------------------------------------
 * Range codes of the analog inputs
 * ------------------------------------------------------------------------ */

struct range_info {
    std::uint8_t code;
    const char *label; // as anin_setup prints it: "0~10V"
    const char *span;  // for people: "0..10 V"
};
inline constexpr std::array<range_info, 11> ranges{{
    {0, "-150~150MV", "-150..+150 mV"},
    {1, "0~150MV", "0..150 mV"},
    {2, "-500~500MV", "-500..+500 mV"},
    {3, "0~500MV", "0..500 mV"},
    {4, "-1~1V", "-1..+1 V"},
    {5, "0~1V", "0..1 V"},
    {6, "-5~5V", "-5..+5 V"},
    {7, "0~5V", "0..5 V"},
    {8, "-10~10V", "-10..+10 V"},
    {9, "0~10V", "0..10 V"},
    {10, "0~20MA", "0..20 mA"},
}};
inline constexpr int range_count = static_cast<int>(ranges.size());

// The label of a range code, or nothing for a code above 10.
constexpr std::optional<std::string_view> range_label(int code) noexcept
{
    if (code < 0 || code >= range_count)
        return std::nullopt;
    return ranges[static_cast<std::size_t>(code)].label;
}

// The code of a label, upper or lower case ("0~10V", "0~20mA").
constexpr std::optional<std::uint8_t> range_from_label(std::string_view label) noexcept
{
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    for (const range_info &r : ranges) {
        std::string_view l = r.label;
        if (l.size() != label.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < l.size() && same; ++i)
            same = upper(label[i]) == l[i];
        if (same)
            return r.code;
    }
    return std::nullopt;
}

/* ------------------------------------------------------------------------
 * Handles
 * ------------------------------------------------------------------------ */

inline constexpr int modbus_port = 502;
inline constexpr int config_port = 5001;
inline constexpr int default_connect_timeout_ms = 1000;
inline constexpr int default_reply_timeout_ms = 100;

// A Modbus/TCP connection, closed by its destructor.
class connection {
public:
    connection() = default;
    explicit connection(int handle) noexcept : handle_(handle) {}
    connection(connection &&other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
    connection &operator=(connection &&other) noexcept
    {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, -1);
        }
        return *this;
    }
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;
    ~connection() { close(); }

    // KIV_Connect: address as dotted-decimal text.
    static result<connection> open(const std::string &address, int port = modbus_port,
                                   int timeout_ms = default_connect_timeout_ms)
    {
        int handle = -1;
        int rc = KIV_Connect(address.c_str(), port, timeout_ms, &handle);
        if (rc != KIV_OK)
            return to_error_code(rc);
        return connection(handle);
    }

    bool is_open() const noexcept { return handle_ >= 0; }
    int handle() const noexcept { return handle_; }
    // Gives the handle up: the caller closes it.
    int release() noexcept { return std::exchange(handle_, -1); }
    void close() noexcept
    {
        if (handle_ >= 0)
            KIV_Close(std::exchange(handle_, -1));
    }

private:
    int handle_ = -1;
};

// A logged-in configuration dialogue. Its destructor ends it with
// KIV_Cfg_Exit (the module keeps its settings only until it restarts),
// unless save_and_reboot() already ended it.
class config_session {
public:
    config_session() = default;
    explicit config_session(int handle) noexcept : handle_(handle) {}
    config_session(config_session &&other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
    config_session &operator=(config_session &&other) noexcept
    {
        if (this != &other) {
            exit();
            handle_ = std::exchange(other.handle_, -1);
        }
        return *this;
    }
    config_session(const config_session &) = delete;
    config_session &operator=(const config_session &) = delete;
    ~config_session() { exit(); }

    // The module's password is 8 bytes: a shorter one is padded with zero
    // bytes, a longer one cut to its first 8, an empty one sends no password
    // code. The C call reads all 8 bytes of what it is given, so it is never
    // handed the caller's shorter text itself.
    static result<config_session> login(const std::string &address, int port = config_port,
                                        int timeout_ms = default_connect_timeout_ms,
                                        std::string_view password = {})
    {
        std::array<char, 9> pw{};
        for (std::size_t i = 0; i < password.size() && i < 8; ++i)
            pw[i] = password[i];
        int handle = -1;
        int rc = KIV_Cfg_Login(address.c_str(), port, timeout_ms, pw.data(), &handle);
        if (rc != KIV_OK)
            return to_error_code(rc);
        return config_session(handle);
    }

    bool is_open() const noexcept { return handle_ >= 0; }
    int handle() const noexcept { return handle_; }
    int release() noexcept { return std::exchange(handle_, -1); }

    // KIV_Cfg_Exit: ends the dialogue without saving.
    void exit() noexcept
    {
        if (handle_ >= 0)
            KIV_Cfg_Exit(std::exchange(handle_, -1));
    }

    // KIV_Cfg_SaveExit: the module saves its settings and restarts; the
    // dialogue is over whatever the exchange gave.
    result<void> save_and_reboot() noexcept
    {
        if (handle_ < 0)
            return errc::param;
        return detail::status(KIV_Cfg_SaveExit(std::exchange(handle_, -1)));
    }

    // request_response: one raw line (CR LF included) and its answer.
    result<std::string> exchange(const std::string &line, int timeout_ms = default_reply_timeout_ms)
    {
        std::array<char, 257> answer{};
        int len = 0;
        int rc = request_response(handle_, timeout_ms, line.c_str(), answer.data(), &len);
        if (rc != KIV_OK)
            return to_error_code(rc);
        return std::string(answer.data(), static_cast<std::size_t>(len));
    }

private:
    int handle_ = -1;
};

/* ------------------------------------------------------------------------
 * The models
 *
 * A model object holds the reply timeout of its calls; every method takes
 * the handle first, as the entry point does: a kiv::connection for process
 * data, a kiv::config_session for configuration. Channels are 1-based.
 * ------------------------------------------------------------------------ */

namespace detail {

// A process-data read through a model entry point, into a buffer that holds
// every read of these models: call(buf, size, &len) gives the result code.
struct read_buffer {
    std::array<unsigned char, 64> buf{};
    int len = 0;
    int rc = KIV_OK;
};

template <class F> read_buffer read_into(F call)
{
    read_buffer r;
    r.rc = call(r.buf.data(), static_cast<int>(r.buf.size()), &r.len);
    return r;
}

// The bytes as they came.
template <class F> result<std::vector<unsigned char>> bytes_read(F call)
{
    const read_buffer r = read_into(call);
    if (r.rc != KIV_OK)
        return read_failure(r.rc, r.buf.data(), r.len);
    return std::vector<unsigned char>(r.buf.begin(), r.buf.begin() + r.len);
}

// The bytes of a read that must be exactly expected long: a reply that
// carries fewer (or more) bytes than the channels asked for is no value.
template <class F> result<std::vector<unsigned char>> exact_read(F call, std::size_t expected)
{
    auto r = bytes_read(call);
    if (r && r->size() != expected)
        return errc::response;
    return r;
}

// Packed inputs, channel first in bit 0 of the first byte, count of them.
template <class F> result<std::uint16_t> bits_read(F call, unsigned count)
{
    const read_buffer r = read_into(call);
    if (r.rc != KIV_OK)
        return read_failure(r.rc, r.buf.data(), r.len);
    if (static_cast<unsigned>(r.len) != (count + 7) / 8)
        return errc::response;
    unsigned v = 0;
    for (int i = 0; i < r.len && i < 2; ++i)
        v |= static_cast<unsigned>(r.buf[static_cast<std::size_t>(i)]) << (8 * i);
    return static_cast<std::uint16_t>(v);
}

// The single output of ZRM-7301 and ZRM-7303, bit 0 of the byte read.
inline result<bool> output_on(int rc, unsigned char value)
{
    if (rc != KIV_OK)
        return to_error_code(rc);
    return (value & 1) != 0;
}

inline result<std::uint8_t> byte_read(int rc, unsigned char value)
{
    if (rc != KIV_OK)
        return to_error_code(rc);
    return static_cast<std::uint8_t>(value);
}

// A configuration bit-window read through a model entry point.
template <class F> result<std::uint8_t> cfg_bits_read(F call)
{
    std::array<unsigned char, 257> buf{};
    int len = 0;
    int rc = call(buf.data(), static_cast<int>(buf.size()), &len);
    if (rc != KIV_OK)
        return answer_failure(rc, buf.data(), buf.size());
    return static_cast<std::uint8_t>(buf[0]);
}

// The power-on value of outputs 1..outputs, bit n-1 for output n.
inline result<std::uint8_t> povp_read(const config_session &s, int timeout, int outputs)
{
    return cfg_bits_read([&](unsigned char *b, int size, int *len) {
        return KIV_Cfg_Get_DO_PowerOnValue(s.handle(), timeout, 0, outputs, b, size, len);
    });
}

inline result<void> povp_write(const config_session &s, int timeout, int outputs, unsigned mask)
{
    if (mask >> outputs)
        return errc::param;
    std::array<unsigned char, 257> buf{};
    int len = 0;
    int rc = KIV_Cfg_Set_DO_PowerOnValue(s.handle(), timeout, 0, outputs, static_cast<int>(mask),
                                         buf.data(), static_cast<int>(buf.size()), &len);
    if (rc != KIV_OK)
        return answer_failure(rc, buf.data(), buf.size());
    return {};
}

} // namespace detail

// ZRM-7301: eight analog inputs with selectable ranges, one digital output.
class zrm7301 {
public:
    static constexpr int ai_channels = 8;
    static constexpr int do_channels = 1;

    explicit zrm7301(int timeout_ms = default_reply_timeout_ms) noexcept : timeout_(timeout_ms) {}
    int timeout() const noexcept { return timeout_; }

    // KIV_ZRM_7301_DO_Read: true when the output is on.
    result<bool> read_do(const connection &c) const
    {
        unsigned char v = 0;
        const int rc = KIV_ZRM_7301_DO_Read(c.handle(), timeout_, &v);
        return detail::output_on(rc, v);
    }
    // KIV_ZRM_7301_DO_Write.
    result<void> write_do(const connection &c, bool on) const
    {
        return detail::status(KIV_ZRM_7301_DO_Write(c.handle(), timeout_, on ? 1 : 0));
    }
    // KIV_ZRM_7301_AI_Read: the records as they came.
    result<std::vector<unsigned char>> read_ai_raw(const connection &c, std::uint8_t first = 1,
                                                   std::uint8_t count = ai_channels) const
    {
        return detail::bytes_read([&](unsigned char *b, int size, int *len) {
            return KIV_ZRM_7301_AI_Read(c.handle(), timeout_, first, count, b, size, len);
        });
    }
    // KIV_ZRM_7301_AI_Read, decoded: channel first at index 0. A reply
    // without exactly count records is errc::response, not a shorter list.
    result<std::vector<ai_channel>> read_ai(const connection &c, std::uint8_t first = 1,
                                            std::uint8_t count = ai_channels) const
    {
        auto raw = detail::exact_read(
            [&](unsigned char *b, int size, int *len) {
                return KIV_ZRM_7301_AI_Read(c.handle(), timeout_, first, count, b, size, len);
            },
            std::size_t{count} * KIV_AI_RECORD_SIZE);
        if (!raw)
            return raw.why();
        return decode_ai_records(*raw);
    }

    // KIV_Cfg_ZRM_7301_Get_AI_Enable: bit i is channel first+i (1 = enabled).
    result<std::uint8_t> get_ai_enable(const config_session &s, int first = 1,
                                       int count = ai_channels) const
    {
        return detail::cfg_bits_read([&](unsigned char *b, int size, int *len) {
            return KIV_Cfg_ZRM_7301_Get_AI_Enable(s.handle(), timeout_, first, count, b, size, len);
        });
    }
    // KIV_Cfg_ZRM_7301_Set_AI_Enable: bit i of mask for channel first+i.
    result<void> set_ai_enable(const config_session &s, int first, int count, unsigned mask) const
    {
        return detail::status(
            KIV_Cfg_ZRM_7301_Set_AI_Enable(s.handle(), timeout_, first, count, static_cast<int>(mask)));
    }
    // KIV_Cfg_ZRM_7301_Get_AI_Range: codes[i] is the range code of channel first+i.
    result<std::vector<std::uint8_t>> get_ai_range(const config_session &s, int first = 1,
                                                   int count = ai_channels) const
    {
        std::array<unsigned char, 257> buf{};
        int len = 0;
        int rc = KIV_Cfg_ZRM_7301_Get_AI_Range(s.handle(), timeout_, first, count, buf.data(),
                                               static_cast<int>(buf.size()), &len);
        if (rc != KIV_OK)
            return detail::answer_failure(rc, buf.data(), buf.size());
        return std::vector<std::uint8_t>(buf.begin(), buf.begin() + len);
    }
    // KIV_Cfg_ZRM_7301_Set_AI_Range: codes[i] for channel first+i. A code
    // above 10 names no range: it is refused here (errc::param, nothing
    // sent) rather than written to the module as a base value.
    result<void> set_ai_range(const config_session &s, int first,
                              std::span<const std::uint8_t> codes) const
    {
        if (codes.empty() || codes.size() > ai_channels)
            return errc::param;
        std::array<unsigned char, ai_channels> buf{};
        for (std::size_t i = 0; i < codes.size(); ++i) {
            if (codes[i] >= range_count)
                return errc::param;
            buf[i] = codes[i];
        }
        return detail::status(KIV_Cfg_ZRM_7301_Set_AI_Range(s.handle(), timeout_, first,
                                                             static_cast<int>(codes.size()),
                                                             buf.data(), static_cast<int>(buf.size())));
    }

    // The power-on value of the output ("u8_povp" bit 0).
    result<std::uint8_t> get_do_power_on(const config_session &s) const
    {
        return detail::povp_read(s, timeout_, do_channels);
    }
    result<void> set_do_power_on(const config_session &s, unsigned mask) const
    {
        return detail::povp_write(s, timeout_, do_channels, mask);
    }

private:
    int timeout_;
};

// ZRM-7302: sixteen digital inputs, eight digital outputs, a sensor block.
class zrm7302 {
public:
    static constexpr int di_channels = 16;
    static constexpr int do_channels = 8;
    static constexpr int sensor_registers = KIV_ZRM_7302_SENSOR_SIZE / 2;

    explicit zrm7302(int timeout_ms = default_reply_timeout_ms) noexcept : timeout_(timeout_ms) {}
    int timeout() const noexcept { return timeout_; }

    // KIV_ZRM_7302_DI_Read: bit i is channel first+i; a reply without
    // exactly the bytes of count inputs is errc::response.
    result<std::uint16_t> read_di(const connection &c, std::uint8_t first = 1,
                                  std::uint8_t count = di_channels) const
    {
        return detail::bits_read([&](unsigned char *b, int size, int *len) {
            return KIV_ZRM_7302_DI_Read(c.handle(), timeout_, first, count, b, size, len);
        }, count);
    }
    // KIV_ZRM_7302_DO_Read: bit i is channel first+i; bits from count on are
    // cleared.
    result<std::uint8_t> read_do(const connection &c, std::uint8_t first = 1,
                                 std::uint8_t count = do_channels) const
    {
        unsigned char v = 0;
        int rc = KIV_ZRM_7302_DO_Read(c.handle(), timeout_, first, count, &v);
        if (rc == KIV_OK && count < 8)
            v = static_cast<unsigned char>(v & ((1u << count) - 1));
        return detail::byte_read(rc, v);
    }
    // KIV_ZRM_7302_DO_Write_bit: one output on or off.
    result<void> write_do(const connection &c, std::uint8_t channel, bool on) const
    {
        return detail::status(KIV_ZRM_7302_DO_Write_bit(c.handle(), timeout_, channel, on ? 1 : 0));
    }
    // KIV_ZRM_7302_DO_Write: bit i of mask drives channel first+i. Bits from
    // count on are dropped, so that a count of 1 switches by bit 0 as well
    // (the C call takes a single channel's value as a state, exactly 1 = on).
    result<void> write_do_mask(const connection &c, std::uint8_t first, std::uint8_t count,
                               std::uint8_t mask) const
    {
        unsigned m = count >= 8 ? mask : mask & ((1u << count) - 1);
        return detail::status(
            KIV_ZRM_7302_DO_Write(c.handle(), timeout_, first, count, static_cast<unsigned char>(m)));
    }
    // KIV_ZRM_7302_Sensor_Read: the bytes as they came.
    result<std::vector<unsigned char>> read_sensors_raw(const connection &c) const
    {
        return detail::bytes_read([&](unsigned char *b, int size, int *len) {
            return KIV_ZRM_7302_Sensor_Read(c.handle(), timeout_, b, size, len);
        });
    }
    // KIV_ZRM_7302_Sensor_Read as registers (high byte first); a reply
    // without all 24 registers is errc::response.
    result<std::vector<std::uint16_t>> read_sensors(const connection &c) const
    {
        auto raw = detail::exact_read(
            [&](unsigned char *b, int size, int *len) {
                return KIV_ZRM_7302_Sensor_Read(c.handle(), timeout_, b, size, len);
            },
            KIV_ZRM_7302_SENSOR_SIZE);
        if (!raw)
            return raw.why();
        std::vector<std::uint16_t> regs;
        for (std::size_t i = 0; i + 1 < raw->size(); i += 2)
            regs.push_back(static_cast<std::uint16_t>(detail::u16(raw->data() + i)));
        return regs;
    }

    // The power-on value of outputs 1..8 ("u8_povp" bits 0..7).
    result<std::uint8_t> get_do_power_on(const config_session &s) const
    {
        return detail::povp_read(s, timeout_, do_channels);
    }
    result<void> set_do_power_on(const config_session &s, unsigned mask) const
    {
        return detail::povp_write(s, timeout_, do_channels, mask);
    }

private:
    int timeout_;
};

// ZRM-7303: three thermocouple inputs, two digital inputs, one output.
class zrm7303 {
public:
    static constexpr int tc_channels = 3;
    static constexpr int di_channels = 2;
    static constexpr int do_channels = 1;

    explicit zrm7303(int timeout_ms = default_reply_timeout_ms) noexcept : timeout_(timeout_ms) {}
    int timeout() const noexcept { return timeout_; }

    // KIV_ZRM_7303_DI_Read: bit i is channel first+i; a reply without
    // exactly the byte of count inputs is errc::response.
    result<std::uint16_t> read_di(const connection &c, std::uint8_t first = 1,
                                  std::uint8_t count = di_channels) const
    {
        auto r = detail::bits_read([&](unsigned char *b, int size, int *len) {
            return KIV_ZRM_7303_DI_Read(c.handle(), timeout_, first, count, b, size, len);
        }, count);
        if (r)
            *r = static_cast<std::uint16_t>(*r & ((1u << count) - 1));
        return r;
    }
    // KIV_ZRM_7303_DO_Read: true when the output is on.
    result<bool> read_do(const connection &c) const
    {
        unsigned char v = 0;
        const int rc = KIV_ZRM_7303_DO_Read(c.handle(), timeout_, &v);
        return detail::output_on(rc, v);
    }
    // KIV_ZRM_7303_DO_Write.
    result<void> write_do(const connection &c, bool on) const
    {
        return detail::status(KIV_ZRM_7303_DO_Write(c.handle(), timeout_, on ? 1 : 0));
    }
    // KIV_ZRM_7303_TC_Read: the records as they came.
    result<std::vector<unsigned char>> read_tc_raw(const connection &c, std::uint8_t first = 1,
                                                   std::uint8_t count = tc_channels) const
    {
        return detail::bytes_read([&](unsigned char *b, int size, int *len) {
            return KIV_ZRM_7303_TC_Read(c.handle(), timeout_, first, count, b, size, len);
        });
    }
    // KIV_ZRM_7303_TC_Read, decoded: channel first at index 0. A reply
    // without exactly count records is errc::response, not a shorter list.
    result<std::vector<tc_channel>> read_tc(const connection &c, std::uint8_t first = 1,
                                            std::uint8_t count = tc_channels) const
    {
        auto raw = detail::exact_read(
            [&](unsigned char *b, int size, int *len) {
                return KIV_ZRM_7303_TC_Read(c.handle(), timeout_, first, count, b, size, len);
            },
            std::size_t{count} * KIV_TC_RECORD_SIZE);
        if (!raw)
            return raw.why();
        return decode_tc_records(*raw);
    }

    // KIV_Cfg_ZRM_7303_Get_TC_Enable: bit i is channel first+i (1 = enabled).
    result<std::uint8_t> get_tc_enable(const config_session &s, int first = 1,
                                       int count = tc_channels) const
    {
        return detail::cfg_bits_read([&](unsigned char *b, int size, int *len) {
            return KIV_Cfg_ZRM_7303_Get_TC_Enable(s.handle(), timeout_, first, count, b, size, len);
        });
    }
    // KIV_Cfg_ZRM_7303_Set_TC_Enable: bit i of mask for channel first+i.
    result<void> set_tc_enable(const config_session &s, int first, int count, unsigned mask) const
    {
        return detail::status(
            KIV_Cfg_ZRM_7303_Set_TC_Enable(s.handle(), timeout_, first, count, static_cast<int>(mask)));
    }

    // The power-on value of the output ("u8_povp" bit 0).
    result<std::uint8_t> get_do_power_on(const config_session &s) const
    {
        return detail::povp_read(s, timeout_, do_channels);
    }
    result<void> set_do_power_on(const config_session &s, unsigned mask) const
    {
        return detail::povp_write(s, timeout_, do_channels, mask);
    }

private:
    int timeout_;
};

/* ------------------------------------------------------------------------
 * The three models in one table
 * ------------------------------------------------------------------------ */

// What a read of a poll brings.
enum class poll_data : std::uint8_t { ai_records, tc_records, inputs, outputs, sensors };

// One Modbus read of a poll, as the model classes above make it.
struct poll_read {
    poll_data what;
    std::uint8_t function;   // 0x01 coils, 0x02 discrete inputs, 0x03 holding registers
    std::uint16_t start;     // the first coil, input or register, 0-based
    std::uint16_t quantity;  // coils, inputs or registers
    std::uint16_t bytes;     // the data bytes that a whole reply carries
};

// What differs between the models, for programs that handle all three
// alike (a gateway, a tool). Output n (1-based) is coil n-1 on every model.
struct model_info {
    int number;              // 7301
    const char *name;        // "ZRM-7301"
    int ai;                  // analog inputs, with declared ranges and enables
    int tc;                  // thermocouple inputs, with enables
    int di;                  // digital inputs
    int outputs;             // digital outputs, with power-on values
    int sensors;             // sensor registers
    // The reads that make up one poll of the whole process image, in this
    // order; the poll's time is the arrival of the first one's reply.
    std::array<poll_read, 3> reads;
    std::size_t read_count;

    std::span<const poll_read> poll() const noexcept { return {reads.data(), read_count}; }
};

namespace detail {
constexpr std::uint16_t bit_bytes(int bits) noexcept
{
    return static_cast<std::uint16_t>((bits + 7) / 8);
}
constexpr std::uint16_t records_of(int channels, int record_size) noexcept
{
    return static_cast<std::uint16_t>(channels * record_size);
}
} // namespace detail

inline constexpr std::array<model_info, 3> models{{
    {7301, "ZRM-7301", zrm7301::ai_channels, 0, 0, zrm7301::do_channels, 0,
     {{{poll_data::ai_records, 0x03, 256, detail::records_of(zrm7301::ai_channels, KIV_AI_RECORD_SIZE / 2),
        detail::records_of(zrm7301::ai_channels, KIV_AI_RECORD_SIZE)},
       {poll_data::outputs, 0x01, 0, zrm7301::do_channels, detail::bit_bytes(zrm7301::do_channels)},
       {}}},
     2},
    {7302, "ZRM-7302", 0, 0, zrm7302::di_channels, zrm7302::do_channels, zrm7302::sensor_registers,
     {{{poll_data::inputs, 0x02, 0, zrm7302::di_channels, detail::bit_bytes(zrm7302::di_channels)},
       {poll_data::outputs, 0x01, 0, zrm7302::do_channels, detail::bit_bytes(zrm7302::do_channels)},
       {poll_data::sensors, 0x03, 0, zrm7302::sensor_registers, KIV_ZRM_7302_SENSOR_SIZE}}},
     3},
    {7303, "ZRM-7303", 0, zrm7303::tc_channels, zrm7303::di_channels, zrm7303::do_channels, 0,
     {{{poll_data::tc_records, 0x03, 512, detail::records_of(zrm7303::tc_channels, KIV_TC_RECORD_SIZE / 2),
        detail::records_of(zrm7303::tc_channels, KIV_TC_RECORD_SIZE)},
       {poll_data::inputs, 0x02, 0, zrm7303::di_channels, detail::bit_bytes(zrm7303::di_channels)},
       {poll_data::outputs, 0x01, 0, zrm7303::do_channels, detail::bit_bytes(zrm7303::do_channels)}}},
     3},
}};

// The model with this number (7301, 7302, 7303), or null.
constexpr const model_info *find_model(int number) noexcept
{
    for (const model_info &m : models)
        if (m.number == number)
            return &m;
    return nullptr;
}

/* ------------------------------------------------------------------------
 * client: a module's Modbus/TCP side that reconnects
 * ------------------------------------------------------------------------ */

// The IPv4 address of a module as dotted-decimal text, which is what the
// library takes: text of digits and dots must already be one (it is never
// looked up, so a mistyped address cannot turn into a name query); anything
// else is a host name, looked up here. Empty on failure, with why.
inline std::string resolve_ipv4(const std::string &name, std::string *why = nullptr)
{
    in_addr a{};
    if (::inet_pton(AF_INET, name.c_str(), &a) == 1)
        return name;
    if (name.empty() || name.find_first_not_of("0123456789.") == std::string::npos) {
        if (why)
            *why = "not an IPv4 address";
        return {};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found); rc != 0) {
        if (why)
            *why = ::gai_strerror(rc);
        return {};
    }
    // Copied out: ai_addr is a sockaddr, which ARM may align less strictly
    // than a sockaddr_in.
    sockaddr_in in{};
    std::memcpy(&in, found->ai_addr, sizeof in);
    ::freeaddrinfo(found);
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    return text;
}

// Replies carry nothing that ties them to their request: after a timeout a
// late reply waits in the connection and would be taken for the answer to
// the next request, and after a short or garbled reply the rest of it would.
// A client owns its connection, opens it when a call needs one, and closes
// it after every failed exchange, so that each exchange after a failure
// starts on a fresh connection and never sees a stale byte. Only the
// failures that leave the connection in step stay on it: a Modbus exception
// (a whole, well-formed reply) and a refused argument (nothing was sent).
//
//   kiv::client module("10.0.0.23");
//   kiv::zrm7303 tc(200);
//   auto r = module.run([&](const kiv::connection &c) { return tc.read_tc(c); });
//
// A host name is looked up again at every connect, so a module that moves
// to another address is found there. One exchange at a time, as on any
// handle: a client is not shared between threads without a lock.
class client {
public:
    explicit client(std::string address, int port = modbus_port,
                    int connect_timeout_ms = default_connect_timeout_ms)
        : address_(std::move(address)), port_(port), connect_timeout_ms_(connect_timeout_ms)
    {
    }

    // Runs call(connection), connecting first when there is no connection;
    // a failed connect is returned as the call's failure.
    template <class F> auto run(F &&call) -> decltype(call(std::declval<const connection &>()))
    {
        using R = decltype(call(std::declval<const connection &>()));
        if (!conn_.is_open()) {
            auto opened = open();
            if (!opened)
                return R(opened.why());
        }
        R r = call(std::as_const(conn_));
        if (!r && !keeps_step(r.error()))
            conn_.close();
        return r;
    }

    // Connects now unless connected; a failure leaves it unconnected.
    result<void> open()
    {
        if (conn_.is_open())
            return {};
        std::string why;
        const std::string ip = resolve_ipv4(address_, &why);
        if (ip.empty())
            return failure{std::make_error_code(std::errc::host_unreachable), 0, why};
        auto c = connection::open(ip, port_, connect_timeout_ms_);
        if (!c)
            return c.why();
        conn_ = std::move(*c);
        ++connects_;
        return {};
    }

    bool connected() const noexcept { return conn_.is_open(); }
    void disconnect() noexcept { conn_.close(); }
    // Connections opened so far: more than one means it reconnected.
    unsigned long connects() const noexcept { return connects_; }
    const std::string &address() const noexcept { return address_; }
    int port() const noexcept { return port_; }

    // The failures after which the connection is still in step.
    static bool keeps_step(const std::error_code &e) noexcept
    {
        return e == errc::exception || e == errc::param;
    }

private:
    std::string address_;
    int port_;
    int connect_timeout_ms_;
    connection conn_;
    unsigned long connects_ = 0;
};

} // namespace kiv

#endif /* C++20 */
#endif /* KIV_HPP */
