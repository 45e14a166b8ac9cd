/*
 * kiv/result.hpp - kiv::result<T>, a call's value or its failure, and the
 * failures that the C calls' buffers carry. Part of kiv.hpp.
 */
#ifndef KIV_RESULT_HPP
#define KIV_RESULT_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "errors.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

namespace kiv {

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

} // namespace detail

} // namespace kiv

#endif
#endif /* KIV_RESULT_HPP */
