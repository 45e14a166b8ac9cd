/*
 * kiv/connection.hpp - the Modbus/TCP handle that closes itself, and the
 * ports and timeouts every handle starts from. Part of kiv.hpp.
 */
#ifndef KIV_CONNECTION_HPP
#define KIV_CONNECTION_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"
#include "result.hpp"

#include <string>
#include <utility>

namespace kiv {

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

} // namespace kiv

#endif
#endif /* KIV_CONNECTION_HPP */
