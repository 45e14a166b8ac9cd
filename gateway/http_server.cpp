#include "http_server.h"

#include "common/text.h"

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
#include <stdexcept>
#include <system_error>

namespace gateway {

namespace {

using namespace std::chrono_literals;

const char *reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Unknown";
    }
}

HttpServer::Response error(int status)
{
    return {status, "text/plain; charset=utf-8", std::string(reason(status)) + "\n"};
}

std::string message(const HttpServer::Response &r, bool with_body = true)
{
    std::string m = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
    if (!r.content_type.empty())
        m += "Content-Type: " + r.content_type + "\r\n";
    // A stream's length is unknown: it ends when the connection does.
    if (!r.stream)
        m += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    m += r.headers + "Connection: close\r\n\r\n";
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

// getaddrinfo's codes, which are not errno values, named by gai_strerror.
const std::error_category &address_category()
{
    struct Category : std::error_category {
        const char *name() const noexcept override { return "getaddrinfo"; }
        std::string message(int code) const override { return ::gai_strerror(code); }
    };
    static const Category category;
    return category;
}

void close_fd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string lower(std::string s)
{
    for (char &ch : s)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

std::string trim(const std::string &s)
{
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string peer_text(const sockaddr_storage &a)
{
    char buf[INET6_ADDRSTRLEN] = "?";
    if (a.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&a);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
        return std::string("[") + buf + "]:" + std::to_string(ntohs(in6->sin6_port));
    }
    const auto *in = reinterpret_cast<const sockaddr_in *>(&a);
    ::inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(in->sin_port));
}

} // namespace

std::string HttpServer::Request::header(const std::string &lower_name) const
{
    for (const auto &[name, value] : headers)
        if (name == lower_name)
            return value;
    return {};
}

HttpServer::Complete HttpServer::Request::defer() const
{
    return defer_();
}

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::get(std::string path, std::function<Response()> handler)
{
    routes_[std::move(path)] = Route{[h = std::move(handler)](const Request &) { return h(); }, true};
}

void HttpServer::route(std::string path, Handler handler, bool prefix)
{
    (prefix ? prefixes_ : routes_)[std::move(path)] = Route{std::move(handler), false};
}

std::size_t HttpServer::streams() const
{
    std::lock_guard lock(count_mu_);
    return streams_;
}

kiv::result<void> HttpServer::start(const std::string &host, int port)
{
    if (thread_.joinable())
        throw std::logic_error("HttpServer::start: already started");
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0)
        return std::error_code(rc, address_category());
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
        close_fd(listen_fd_);
        close_fd(wake_fd_);
        return std::error_code(why, std::system_category());
    }
    port_ = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port
                                              : reinterpret_cast<sockaddr_in *>(&local)->sin_port);
    {
        std::lock_guard lock(inbox_->mu);
        inbox_->wake_fd = wake_fd_;
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return {};
}

void HttpServer::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    const std::uint64_t one = 1;
    // An eventfd's counter cannot overflow from one write: this cannot fail.
    [[maybe_unused]] const auto n = ::write(wake_fd_, &one, sizeof one);
    thread_.join();
    {
        // Responses that come later from now on go nowhere.
        std::lock_guard lock(inbox_->mu);
        inbox_->wake_fd = -1;
        inbox_->done.clear();
    }
    close_fd(listen_fd_);
    close_fd(wake_fd_);
}

void HttpServer::close_client(Client &c)
{
    close_fd(c.fd);
    c.producer = nullptr;
}

void HttpServer::run()
{
    std::vector<pollfd> fds;
    for (;;) {
        auto now = Clock::now();
        for (Client &c : clients_) {
            if (c.state == Client::State::stream || now < c.deadline)
                continue;
            // A response that did not come in time is answered all the same.
            if (c.state == Client::State::later)
                start_writing(c, message(error(504)), now);
            else
                close_client(c);
        }
        std::erase_if(clients_, [](const Client &c) { return c.fd < 0; });
        const auto streaming = static_cast<std::size_t>(
            std::count_if(clients_.begin(), clients_.end(), [](const Client &c) { return c.state == Client::State::stream; }));
        {
            std::lock_guard lock(count_mu_);
            streams_ = streaming;
        }
        if (streaming > 0 && now >= next_tick_) {
            feed_streams(now);
            next_tick_ = now + tick_;
            continue;
        }

        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({now >= accept_paused_until_ ? listen_fd_ : -1, POLLIN, 0});
        auto wake_at = now >= accept_paused_until_ ? Clock::time_point::max() : accept_paused_until_;
        if (streaming > 0)
            wake_at = std::min(wake_at, next_tick_);
        for (const Client &c : clients_) {
            const bool out = c.state == Client::State::writing || (c.state == Client::State::stream && c.sent < c.out.size());
            fds.push_back({c.fd, static_cast<short>(out ? POLLOUT : POLLIN), 0});
            if (c.state != Client::State::stream)
                wake_at = std::min(wake_at, c.deadline);
        }
        int timeout = -1;
        if (wake_at != Clock::time_point::max())
            timeout = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(std::max(wake_at - now, Clock::duration::zero()))
                    .count());
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        now = Clock::now();
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto r = ::read(wake_fd_, &count, sizeof count);
            if (stopping_)
                break;
            take_inbox(now);
        }
        // The new clients come after those polled, so they are not looked at yet.
        const std::size_t polled = clients_.size();
        if (fds[1].revents != 0)
            accept_clients(now);
        for (std::size_t i = 0; i < polled; ++i) {
            Client &c = clients_[i];
            if (fds[i + 2].revents == 0 || c.fd < 0)
                continue;
            if (c.state == Client::State::writing || (c.state == Client::State::stream && (fds[i + 2].revents & POLLOUT)))
                send_response(c);
            else
                on_readable(c, now);
        }
    }
    for (Client &c : clients_)
        close_client(c);
    clients_.clear();
    std::lock_guard lock(count_mu_);
    streams_ = 0;
}

void HttpServer::accept_clients(Clock::time_point now)
{
    // Bounded, so that a flood of connections cannot keep the loop here.
    for (std::size_t i = 0; i < max_clients; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the listener stays readable, so it is left
            // alone a while rather than polled in a busy loop.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                accept_paused_until_ = now + 100ms;
            return;
        }
        // Streams hold their connections: the others have their own room.
        if (clients_.size() >= max_clients + max_streams) {
            close_fd(fd);
            continue;
        }
        Client c;
        c.fd = fd;
        c.id = next_id_++;
        c.address = peer_text(peer);
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
    if (n <= 0 || (c.state != Client::State::head && c.state != Client::State::body)) {
        // The end, an error, or what comes after the request: only an end
        // or an error closes a connection.
        if (n <= 0)
            close_client(c);
        return;
    }
    const std::size_t before = c.in.size();
    c.in.append(buf, static_cast<std::size_t>(n));
    if (c.state == Client::State::head) {
        const std::size_t end = head_end(c.in, before);
        if (end == std::string::npos && c.in.size() <= max_head)
            return;
        if (end == std::string::npos || end > max_head) {
            start_writing(c, message(error(431)), now);
            return;
        }
        c.head_size = end;
        if (!take_head(c, now))
            return;
        c.state = Client::State::body;
    }
    if (c.in.size() < c.head_size + c.body_size)
        return;
    c.request.body = c.in.substr(c.head_size, c.body_size);
    c.in.clear();
    on_request(c, now);
}

const HttpServer::Route *HttpServer::find(const std::string &path) const
{
    if (const auto r = routes_.find(path); r != routes_.end())
        return &r->second;
    const Route *best = nullptr;
    std::size_t best_length = 0;
    for (const auto &[prefix, route] : prefixes_)
        if (path.starts_with(prefix) && prefix.size() >= best_length) {
            best = &route;
            best_length = prefix.size();
        }
    return best;
}

bool HttpServer::take_head(Client &c, Clock::time_point now)
{
    const std::string head = c.in.substr(0, c.head_size);
    // The request line, after any empty lines: METHOD SP TARGET SP VERSION.
    const std::size_t start = head.find_first_not_of("\r\n");
    std::size_t line_end = start == std::string::npos ? start : head.find('\n', start);
    std::string line = start == std::string::npos ? std::string() : head.substr(start, line_end - start);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || sp1 == 0 || sp2 == sp1 + 1 || line.compare(sp2 + 1, 7, "HTTP/1.") != 0 ||
        line.find(' ', sp2 + 1) != std::string::npos) {
        start_writing(c, message(error(400)), now);
        return false;
    }
    Request &r = c.request;
    r.method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::size_t q = target.find_first_of("?#");
    r.path = target.substr(0, q);
    if (q != std::string::npos && target[q] == '?')
        r.query = target.substr(q + 1, target.find('#', q) - q - 1);
    r.client = c.address;
    for (std::size_t at = line_end + 1; at < head.size();) {
        const std::size_t next = head.find('\n', at);
        const std::string h = head.substr(at, next - at);
        at = next == std::string::npos ? head.size() : next + 1;
        const std::size_t colon = h.find(':');
        if (colon != std::string::npos && colon > 0)
            r.headers.emplace_back(lower(h.substr(0, colon)), trim(h.substr(colon + 1)));
    }
    c.head_only = r.method == "HEAD";
    c.route = find(r.path);
    if (!c.route) {
        start_writing(c, message(error(404), !c.head_only), now);
        return false;
    }
    if (c.route->get_only && r.method != "GET" && r.method != "HEAD") {
        Response e = error(405);
        e.headers = "Allow: GET, HEAD\r\n";
        start_writing(c, message(e), now);
        return false;
    }
    const std::string length = r.header("content-length");
    if (!r.header("transfer-encoding").empty() ||
        length.find_first_not_of("0123456789") != std::string::npos || length.size() > 6) {
        start_writing(c, message(error(length.size() > 6 ? 413 : 400)), now);
        return false;
    }
    c.body_size = length.empty() ? 0 : std::stoul(length);
    if (c.body_size > max_body) {
        start_writing(c, message(error(413)), now);
        return false;
    }
    return true;
}

void HttpServer::on_request(Client &c, Clock::time_point now)
{
    deferred_ = false;
    c.request.defer_ = [this, id = c.id, inbox = std::weak_ptr<Inbox>(inbox_)]() -> Complete {
        deferred_ = true;
        return [id, inbox](const Response &r) {
            const auto box = inbox.lock();
            if (!box)
                return;
            std::lock_guard lock(box->mu);
            if (box->wake_fd < 0)
                return;
            box->done.emplace_back(id, message(r));
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(box->wake_fd, &one, sizeof one);
        };
    };
    Response r;
    try {
        r = c.route->handler(c.request);
    } catch (...) {
        deferred_ = false;
        r = error(500);
    }
    c.request.defer_ = nullptr;
    if (deferred_) {
        c.state = Client::State::later;
        c.deadline = now + later_time;
        return;
    }
    if (!r.stream) {
        start_writing(c, message(r, !c.head_only), now);
        return;
    }
    const auto open = static_cast<std::size_t>(
        std::count_if(clients_.begin(), clients_.end(), [](const Client &x) { return x.state == Client::State::stream; }));
    if (open >= max_streams) {
        start_writing(c, message(error(503)), now);
        return;
    }
    c.state = Client::State::stream;
    c.out = message(r);
    c.producer = std::move(r.stream);
    c.sent = 0;
    c.last_sent = now;
    {
        std::lock_guard lock(count_mu_);
        streams_ = open + 1;
    }
    send_response(c);
}

void HttpServer::take_inbox(Clock::time_point now)
{
    std::vector<std::pair<std::uint64_t, std::string>> done;
    {
        std::lock_guard lock(inbox_->mu);
        done.swap(inbox_->done);
    }
    for (auto &[id, m] : done)
        for (Client &c : clients_)
            if (c.id == id && c.state == Client::State::later && c.fd >= 0)
                start_writing(c, std::move(m), now);
}

void HttpServer::feed_streams(Clock::time_point now)
{
    for (Client &c : clients_) {
        if (c.state != Client::State::stream || c.fd < 0)
            continue;
        std::string more = c.producer();
        if (more.empty() && now - c.last_sent >= keepalive_time)
            more = ": keepalive\n\n";
        if (more.empty())
            continue;
        c.last_sent = now;
        c.out.erase(0, c.sent);
        c.sent = 0;
        c.out += more;
        // A client that does not read is not worth the memory.
        if (c.out.size() > max_unsent) {
            close_client(c);
            continue;
        }
        send_response(c);
    }
}

void HttpServer::start_writing(Client &c, std::string m, Clock::time_point now)
{
    c.out = std::move(m);
    c.sent = 0;
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
            close_client(c);
            return;
        }
        c.sent += static_cast<std::size_t>(n);
    }
    if (c.state == Client::State::stream)
        return;
    // Sent: the client's end closes the connection, or the deadline does.
    // Closing at once, with anything unread, would reset the connection and
    // could lose the response on its way.
    c.out.clear();
    c.out.shrink_to_fit();
    ::shutdown(c.fd, SHUT_WR);
    c.state = Client::State::draining;
}

std::string cannot_listen(const std::string &section, const std::string &listen, const kiv::result<void> &failed)
{
    return common::concat({section, " cannot listen on ", listen, ": ", failed.error().message()});
}

} // namespace gateway
