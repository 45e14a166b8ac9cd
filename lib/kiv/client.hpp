/*
 * kiv/client.hpp - a module's address looked up, and kiv::client, the
 * Modbus/TCP side of a module that reconnects after a failed exchange.
 * Part of kiv.hpp.
 */
#ifndef KIV_CLIENT_HPP
#define KIV_CLIENT_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "connection.hpp"
#include "result.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <system_error>
#include <utility>

namespace kiv {

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

#endif
#endif /* KIV_CLIENT_HPP */
