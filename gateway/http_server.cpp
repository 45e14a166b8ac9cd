#include "http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace gateway {

namespace {

using namespace std::chrono_literals;

const char *reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Unknown";
    }
}

HttpServer::Response error(int status)
{
    return {status, "text/plain; charset=utf-8", std::string(reason(status)) + "\n"};
}

std::string message(const HttpServer::Response &r, bool with_body = true, const char *extra_headers = "")
{
    std::string m = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
    if (!r.content_type.empty())
        m += "Content-Type: " + r.content_type + "\r\n";
    m += "Content-Length: " + std::to_string(r.body.size()) + "\r\n" + extra_headers + "Connection: close\r\n\r\n";
    if (with_body)
        m += r.body;
    return m;
}

// Where the head ends (just past its blank line), looking from about
// `from` on; npos while it has not ended. A bare LF ends a line too.
std::size_t head_end(const std::string &in, std::size_t from)
{
    for (std::size_t i = from > 2 ? from - 2 : 0; i < in.size(); ++i)
        if (in[i] == '\n' && ((i >= 1 && in[i - 1] == '\n') || (i >= 2 && in[i - 1] == '\r' && in[i - 2] == '\n')))
            return i + 1;
    return std::string::npos;
}

void close_fd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::get(std::string path, Handler handler)
{
    routes_[std::move(path)] = std::move(handler);
}

bool HttpServer::start(const std::string &host, int port, std::string &error)
{
    if (thread_.joinable()) {
        error = "already started";
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
        error = ::gai_strerror(rc);
        return false;
    }
    const int yes = 1;
    listen_fd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool bound = listen_fd_ >= 0 &&
                       ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                       ::bind(listen_fd_, found->ai_addr, found->ai_addrlen) == 0 &&
                       ::listen(listen_fd_, static_cast<int>(max_clients)) == 0;
    int why = bound ? 0 : errno;
    ::freeaddrinfo(found);
    if (bound)
        wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (bound && (wake_fd_ < 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&local), &length) != 0))
        why = errno;
    if (why != 0) {
        error = std::strerror(why);
        close_fd(listen_fd_);
        close_fd(wake_fd_);
        return false;
    }
    port_ = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port
                                              : reinterpret_cast<sockaddr_in *>(&local)->sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
}

void HttpServer::stop()
{
    if (!thread_.joinable())
        return;
    const std::uint64_t one = 1;
    // An eventfd's counter cannot overflow from one write: this cannot fail.
    [[maybe_unused]] const auto n = ::write(wake_fd_, &one, sizeof one);
    thread_.join();
    close_fd(listen_fd_);
    close_fd(wake_fd_);
}

void HttpServer::run()
{
    std::vector<pollfd> fds;
    for (;;) {
        auto now = Clock::now();
        for (Client &c : clients_)
            if (now >= c.deadline)
                close_fd(c.fd);
        std::erase_if(clients_, [](const Client &c) { return c.fd < 0; });

        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({now >= accept_paused_until_ ? listen_fd_ : -1, POLLIN, 0});
        auto wake_at = now >= accept_paused_until_ ? Clock::time_point::max() : accept_paused_until_;
        for (const Client &c : clients_) {
            fds.push_back({c.fd, static_cast<short>(c.state == Client::State::writing ? POLLOUT : POLLIN), 0});
            wake_at = std::min(wake_at, c.deadline);
        }
        int timeout = -1;
        if (wake_at != Clock::time_point::max())
            timeout = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(std::max(wake_at - now, Clock::duration::zero()))
                    .count());
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0)
            break;
        now = Clock::now();
        // The new clients come after those polled, so they are not looked at yet.
        const std::size_t polled = clients_.size();
        if (fds[1].revents != 0)
            accept_clients(now);
        for (std::size_t i = 0; i < polled; ++i) {
            Client &c = clients_[i];
            if (fds[i + 2].revents == 0)
                continue;
            if (c.state == Client::State::writing)
                send_response(c);
            else
                on_readable(c, now);
        }
    }
    for (Client &c : clients_)
        close_fd(c.fd);
    clients_.clear();
}

void HttpServer::accept_clients(Clock::time_point now)
{
    // Bounded, so that a flood of connections cannot keep the loop here.
    for (std::size_t i = 0; i < max_clients; ++i) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the listener stays readable, so it is left
            // alone a while rather than polled in a busy loop.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                accept_paused_until_ = now + 100ms;
            return;
        }
        if (clients_.size() >= max_clients) {
            close_fd(fd);
            continue;
        }
        Client c;
        c.fd = fd;
        c.deadline = now + head_time;
        clients_.push_back(std::move(c));
    }
}

void HttpServer::on_readable(Client &c, Clock::time_point now)
{
    char buf[4096];
    // While the head is read, never more than one byte past its limit.
    const std::size_t want = c.state == Client::State::head ? std::min(sizeof buf, max_head + 1 - c.in.size())
                                                            : sizeof buf;
    const ssize_t n = ::recv(c.fd, buf, want, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0 || c.state == Client::State::draining) {
        // The end, an error, or what comes after the response: only an end
        // or an error closes a connection whose response is sent.
        if (n <= 0)
            close_fd(c.fd);
        return;
    }
    const std::size_t before = c.in.size();
    c.in.append(buf, static_cast<std::size_t>(n));
    const std::size_t end = head_end(c.in, before);
    if (end == std::string::npos && c.in.size() <= max_head)
        return;
    c.out = end == std::string::npos || end > max_head ? message(error(431)) : respond(c.in.substr(0, end));
    c.in.clear();
    c.state = Client::State::writing;
    c.deadline = now + write_time;
    send_response(c);
}

void HttpServer::send_response(Client &c)
{
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close_fd(c.fd);
            return;
        }
        c.sent += static_cast<std::size_t>(n);
    }
    // Sent: the client's end closes the connection, or the deadline does.
    // Closing at once, with anything unread, would reset the connection and
    // could lose the response on its way.
    c.out.clear();
    c.out.shrink_to_fit();
    ::shutdown(c.fd, SHUT_WR);
    c.state = Client::State::draining;
}

std::string HttpServer::respond(const std::string &head) const
{
    // The request line, after any empty lines: METHOD SP TARGET SP VERSION.
    const std::size_t start = head.find_first_not_of("\r\n");
    if (start == std::string::npos)
        return message(error(400));
    std::string line = head.substr(start, head.find('\n', start) - start);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || sp1 == 0 || sp2 == sp1 + 1 || line.compare(sp2 + 1, 7, "HTTP/1.") != 0 ||
        line.find(' ', sp2 + 1) != std::string::npos)
        return message(error(400));
    const std::string method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const auto route = routes_.find(target.substr(0, target.find_first_of("?#")));
    const bool head_only = method == "HEAD";
    if (route == routes_.end())
        return message(error(404), !head_only);
    if (method != "GET" && method != "HEAD")
        return message(error(405), true, "Allow: GET, HEAD\r\n");
    Response r;
    try {
        r = route->second();
    } catch (...) {
        return message(error(500));
    }
    return message(r, !head_only);
}

} // namespace gateway
