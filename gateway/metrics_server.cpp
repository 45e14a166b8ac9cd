#include "metrics_server.h"

#include "metrics.h"

#include <httplib.h>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gateway {

namespace {

// Why host:port cannot be bound: cpp-httplib says only that it could not.
// The host is an address (checked when the file was read), so no name is
// looked up here.
std::string bind_failure(const std::string &host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
        return ::gai_strerror(rc);
    std::string why = "cannot bind";
    const int fd = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    const int yes = 1;
    if (fd < 0)
        why = std::strerror(errno);
    else if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
             ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 1) != 0)
        why = std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
    ::freeaddrinfo(found);
    return why;
}

} // namespace

MetricsServer::MetricsServer(const Metrics &metrics) : metrics_(metrics) {}

MetricsServer::~MetricsServer()
{
    stop();
}

bool MetricsServer::start(const PrometheusConfig &c, std::string &error)
{
    server_ = std::make_unique<httplib::Server>();
    // Scrapes are rare and quick: two workers, not one per core.
    server_->new_task_queue = [] { return new httplib::ThreadPool(2); };
    // SO_REUSEADDR alone: cpp-httplib's default adds SO_REUSEPORT, which
    // would let a second gateway bind the same port and take half the scrapes.
    server_->set_socket_options([](int fd) {
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // One request per connection, asked for at once: scrapes come seconds
    // apart, and a client that keeps an idle connection open would hold up
    // the gateway's stop by as long as the server waits for it.
    server_->set_keep_alive_max_count(1);
    server_->set_keep_alive_timeout(1);
    server_->set_read_timeout(1);
    server_->Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
        res.set_content(metrics_.render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (!server_->bind_to_port(c.host, c.port)) {
        // In steps: GCC 12 misjudges a literal plus a temporary when optimising.
        error = "[prometheus] cannot listen on ";
        error += c.listen();
        error += ": ";
        error += bind_failure(c.host, c.port);
        server_.reset();
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop before the loop runs would be missed and the join never end.
    for (int i = 0; i < 500 && !server_->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return true;
}

void MetricsServer::stop()
{
    if (!server_)
        return;
    server_->stop();
    if (thread_.joinable())
        thread_.join();
    server_.reset();
}

} // namespace gateway
