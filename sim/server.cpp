#include "server.h"

#include "log.h"
#include "services.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace zrmsim {

namespace {

constexpr int max_connections_per_service = 32;
constexpr int relisten_retry_ms = 100;
const char *const service_names[] = {"modbus", "config"};

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

std::string peer_name(const sockaddr_in &a)
{
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

} // namespace

Server::Server(Simulator &sim) : sim_(sim)
{
    event_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Server::~Server()
{
    reap(true);
    close_listeners();
    if (event_fd_ >= 0)
        ::close(event_fd_);
    if (signal_fd_ >= 0)
        ::close(signal_fd_);
}

bool Server::block_signals()
{
    sigset_t set = stop_signals();
    // Writes to a closed connection fail with EPIPE instead of ending us.
    ::signal(SIGPIPE, SIG_IGN);
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool Server::open_listener(int index, std::string &error)
{
    const Options &o = sim_.options();
    // A reopened listener takes the port it had, even one that was ephemeral.
    int port = ports_[index] != 0 ? ports_[index] : (index == 0 ? o.modbus_port : o.config_port);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, o.address.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        error = std::string("cannot listen for ") + service_names[index] + " on " + o.address + ":" +
                std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    listeners_[index] = fd;
    ports_[index] = ntohs(a.sin_port);
    return true;
}

bool Server::listen(std::string &error)
{
    if (event_fd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    return open_listener(0, error) && open_listener(1, error);
}

void Server::close_listeners()
{
    for (int &fd : listeners_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void Server::notify_main()
{
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(event_fd_, &one, sizeof one);
}

void Server::accept_one(int index)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int fd = ::accept4(listeners_[index], reinterpret_cast<sockaddr *>(&a), &len, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    auto service = index == 0 ? Service::modbus : Service::config;
    std::lock_guard lock(mu_);
    int open = 0;
    for (const auto &c : connections_)
        if (c->service == service && !c->done)
            ++open;
    if (open >= max_connections_per_service) {
        log_line(std::string(service_names[index]) + ": too many connections, closing " + peer_name(a));
        ::close(fd);
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = std::make_unique<Connection>();
    Connection &c = *conn;
    c.fd = fd;
    c.service = service;
    c.peer = std::string(service_names[index]) + " " + peer_name(a);
    connections_.push_back(std::move(conn));
    try {
        c.thread = std::thread([this, &c] {
            vlog(c.peer + " connected");
            if (c.service == Service::modbus)
                serve_modbus(sim_, *this, c);
            else
                serve_config(sim_, *this, c);
            // The client sees the end at once; the descriptor itself is closed
            // by the main thread after the join, so its number is never reused
            // while another thread may still shut it down.
            ::shutdown(c.fd, SHUT_RDWR);
            vlog(c.peer + " closed");
            c.done = true;
            notify_main();
        });
    } catch (const std::system_error &e) {
        log_line(c.peer + ": no thread for the connection: " + e.what());
        ::close(fd);
        connections_.pop_back();
    }
}

void Server::reap(bool all)
{
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(mu_);
        if (all) {
            stopping_ = true;
            for (auto &c : connections_) {
                c->closing = true;
                ::shutdown(c->fd, SHUT_RDWR);
            }
            cv_.notify_all();
            finished.splice(finished.end(), connections_);
        } else {
            for (auto it = connections_.begin(); it != connections_.end();) {
                auto next = std::next(it);
                if ((*it)->done)
                    finished.splice(finished.end(), connections_, it);
                it = next;
            }
        }
    }
    for (auto &c : finished) {
        if (c->thread.joinable())
            c->thread.join();
        ::close(c->fd);
    }
}

void Server::close_connections()
{
    for (auto &c : connections_) {
        c->closing = true;
        ::shutdown(c->fd, SHUT_RDWR);
    }
    cv_.notify_all();
}

bool Server::pause(Connection &c, int ms)
{
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_ || c.closing; });
    return !stopping_ && !c.closing;
}

bool Server::begin_reboot()
{
    std::unique_lock lock(mu_);
    if (phase_ == Phase::none) {
        phase_ = Phase::requested;
        notify_main();
    }
    cv_.wait(lock, [&] { return stopping_ || phase_ != Phase::requested; });
    return !stopping_;
}

void Server::reboot_answered()
{
    std::lock_guard lock(mu_);
    if (phase_ == Phase::refusing) {
        phase_ = Phase::answered;
        notify_main();
    }
}

void Server::handle_reboot_events()
{
    std::lock_guard lock(mu_);
    if (phase_ == Phase::requested) {
        close_listeners();
        phase_ = Phase::refusing;
        vlog("rebooting: new connections refused");
        cv_.notify_all();
    }
    if (phase_ == Phase::answered) {
        close_connections();
        phase_ = Phase::rebooting;
        reboot_end_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(sim_.options().reboot_ms);
    }
}

int Server::run()
{
    sigset_t set = stop_signals();
    signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (signal_fd_ < 0) {
        log_line(std::string("signalfd: ") + std::strerror(errno));
        return 1;
    }
    int status = 0;
    for (;;) {
        pollfd fds[4];
        int listener_of[4] = {-1, -1, -1, -1};
        nfds_t n = 0;
        fds[n++] = {signal_fd_, POLLIN, 0};
        fds[n++] = {event_fd_, POLLIN, 0};
        for (int i = 0; i < 2; ++i)
            if (listeners_[i] >= 0) {
                listener_of[n] = i;
                fds[n++] = {listeners_[i], POLLIN, 0};
            }
        int timeout = -1;
        {
            std::lock_guard lock(mu_);
            if (phase_ == Phase::rebooting) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    reboot_end_ - std::chrono::steady_clock::now());
                timeout = static_cast<int>(std::max<long long>(0, left.count()));
            }
        }
        if (::poll(fds, n, timeout) < 0) {
            if (errno == EINTR)
                continue;
            log_line(std::string("poll: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] auto got = ::read(signal_fd_, &info, sizeof info);
            vlog(std::string("stopping on ") + ::strsignal(static_cast<int>(info.ssi_signo)));
            break;
        }
        if (fds[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto got = ::read(event_fd_, &count, sizeof count);
            reap(false);
            handle_reboot_events();
        }
        for (nfds_t k = 2; k < n; ++k) {
            int i = listener_of[k];
            if ((fds[k].revents & POLLIN) != 0 && listeners_[i] == fds[k].fd)
                accept_one(i);
        }
        bool reboot_over = false;
        {
            std::lock_guard lock(mu_);
            reboot_over = phase_ == Phase::rebooting && std::chrono::steady_clock::now() >= reboot_end_;
        }
        if (reboot_over) {
            sim_.reboot();
            std::string error;
            bool up = (listeners_[0] >= 0 || open_listener(0, error)) &&
                      (listeners_[1] >= 0 || open_listener(1, error));
            std::lock_guard lock(mu_);
            if (up) {
                phase_ = Phase::none;
                vlog("reboot done: listening again");
            } else {
                log_line(error + "; trying again");
                reboot_end_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(relisten_retry_ms);
            }
        }
    }
    reap(true);
    close_listeners();
    return status;
}

} // namespace zrmsim
