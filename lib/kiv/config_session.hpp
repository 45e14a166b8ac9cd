/*
 * kiv/config_session.hpp - the configuration dialogue as a handle that ends
 * itself, and the save that restarts the module. Part of kiv.hpp.
 */
#ifndef KIV_CONFIG_SESSION_HPP
#define KIV_CONFIG_SESSION_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"
#include "connection.hpp"
#include "result.hpp"

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace kiv {

// A logged-in configuration dialogue. Its destructor ends it with
// KIV_Cfg_Exit (the module keeps its settings only until it restarts),
// unless a save (save_and_reboot(), kiv::save_and_restart) already ended it.
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

// Has the module keep its settings and restart, with the caller's wait for
// its answer (save_and_reboot() has the C call's fixed 100 ms, too short for
// a module that writes its flash before it answers), and ends the dialogue
// whatever the exchange gave. Only an answer that begins "A:" confirms the
// save: a module that could not save answers otherwise and restarts with its
// old settings, which is errc::response with that answer. A timeout, or a
// module that closed the connection instead, leaves open whether it saved.
inline result<void> save_and_restart(config_session &s, int timeout_ms)
{
    auto answer = s.exchange("S:save=1&reboot=1\r\n", timeout_ms);
    s.exit();
    if (!answer)
        return answer.why();
    if (answer->rfind("A:", 0) != 0)
        return failure{errc::response, 0, std::move(*answer)};
    return {};
}

} // namespace kiv

#endif
#endif /* KIV_CONFIG_SESSION_HPP */
