/*
 * kiv/errors.hpp - the result codes of the C calls as std::error_code, and
 * in words. Part of kiv.hpp.
 */
#ifndef KIV_ERRORS_HPP
#define KIV_ERRORS_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"

#include <string>
#include <system_error>

namespace kiv {

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

} // namespace kiv

#endif
#endif /* KIV_ERRORS_HPP */
