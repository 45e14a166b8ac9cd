#include "server.h"

#include "descriptors.h"
#include "log.h"
#include "services.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

namespace zrmsim {

namespace {

constexpr int max_connections_per_service = 32;
constexpr int relisten_retry_ms = 100;
// Out of descriptors, a client stays queued and its listener readable; the
// listener rests this long instead of being polled in a busy loop.
constexpr auto accept_backoff = std::chrono::milliseconds(100);
// A connection is not taken on the last few descriptors below the limit: a
// Modbus connection needs two more for its socket pair, and a checked build's
// sanitizers a pipe of their own; without them the connection would fail
// halfway instead of waiting in the queue.
constexpr int descriptor_reserve = 4;
// Keepalive probes find a client whose end went away without a FIN within
// about a minute and a half, well inside the default idle timeout.
constexpr int keepalive_idle_s = 60;
constexpr int keepalive_interval_s = 10;
constexpr int keepalive_count = 3;
const char *const service_names[] = {"modbus", "config"};

std::string peer_name(const sockaddr_in &a)
{
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool out_of_descriptors(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void set_keepalive(int fd)
{
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepalive_idle_s, sizeof keepalive_idle_s);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepalive_interval_s, sizeof keepalive_interval_s);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepalive_count, sizeof keepalive_count);
}

} // namespace

void close_inherited_descriptors()
{
    if (::close_range(3, ~0u, 0) == 0)
        return;
    // Kernels before 5.9: the numbers are collected first, as closing while
    // reading the directory would close the directory's own descriptor too.
    std::vector<int> open;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        int own = ::dirfd(d);
        while (dirent *e = ::readdir(d)) {
            int fd = std::atoi(e->d_name);
            if (fd > 2 && fd != own)
                open.push_back(fd);
        }
        ::closedir(d);
    }
    for (int fd : open)
        ::close(fd);
}

Server::Server(Simulator &sim, std::string label) : sim_(sim), label_(std::move(label))
{
    event_fd_ = move_above_select_limit(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur != RLIM_INFINITY && r.rlim_cur < INT_MAX)
        descriptor_limit_ = static_cast<int>(r.rlim_cur);
}

Server::~Server()
{
    reap(true);
    close_listeners();
    if (event_fd_ >= 0)
        ::close(event_fd_);
}

bool Server::block_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Writes to a closed connection fail with EPIPE instead of ending us.
    ::signal(SIGPIPE, SIG_IGN);
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool Server::open_listener(int index, std::string &error)
{
    const Options &o = sim_.options();
    // A reopened listener takes the port it had, even one that was ephemeral.
    int port = ports_[index] != 0 ? ports_[index] : (index == 0 ? o.modbus_port : o.config_port);
    int fd = move_above_select_limit(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
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
    int err = errno;
    if (fd >= 0 && fd >= descriptor_limit_ - descriptor_reserve) {
        ::close(fd);
        fd = -1;
        err = EMFILE;
    }
    if (fd < 0) {
        if (out_of_descriptors(err)) {
            accept_paused_until_[index] = std::chrono::steady_clock::now() + accept_backoff;
            if (!short_of_descriptors_[index])
                log_line(label_ + service_names[index] + ": cannot accept: " + std::strerror(err) +
                         "; clients wait or are closed until connections end");
            short_of_descriptors_[index] = true;
        }
        return;
    }
    if (short_of_descriptors_[index]) {
        short_of_descriptors_[index] = false;
        vlog(label_ + service_names[index] + ": accepting again");
    }
    auto service = index == 0 ? Service::modbus : Service::config;
    if (service == Service::modbus && fd >= FD_SETSIZE) {
        log_line(label_ + "modbus: descriptor " + std::to_string(fd) + " is beyond what libmodbus can wait on (" +
                 std::to_string(FD_SETSIZE) + "), closing " + peer_name(a));
        ::close(fd);
        return;
    }
    std::lock_guard lock(mu_);
    int open = 0;
    for (const auto &c : connections_)
        if (c->service == service && !c->done)
            ++open;
    if (open >= max_connections_per_service) {
        log_line(label_ + service_names[index] + ": too many connections, closing " + peer_name(a));
        ::close(fd);
        return;
    }
    // Only a Modbus connection needs a number that select() can take.
    if (service == Service::config)
        fd = move_above_select_limit(fd);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set_keepalive(fd);
    auto conn = std::make_unique<Connection>();
    Connection &c = *conn;
    c.fd = fd;
    c.service = service;
    c.peer = label_ + service_names[index] + " " + peer_name(a);
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

bool Server::await_request(Connection &c)
{
    int idle_s = sim_.options().idle_timeout_s;
    int timeout = idle_s > 0 ? idle_s * 1000 : -1;
    for (;;) {
        pollfd p{c.fd, POLLIN, 0};
        int n = ::poll(&p, 1, timeout);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            log_line(c.peer + ": idle for " + std::to_string(idle_s) + " s, closing");
            return false;
        }
        // Errors and hang-ups are left to the read that follows.
        return true;
    }
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
        vlog(label_ + "rebooting: new connections refused");
        cv_.notify_all();
    }
    if (phase_ == Phase::answered) {
        close_connections();
        phase_ = Phase::rebooting;
        reboot_end_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(sim_.options().reboot_ms);
    }
}

int Server::next_timeout()
{
    using namespace std::chrono;
    auto now = steady_clock::now();
    std::optional<steady_clock::time_point> next;
    auto consider = [&](steady_clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    for (int i = 0; i < 2; ++i)
        if (listeners_[i] >= 0 && accept_paused_until_[i] > now)
            consider(accept_paused_until_[i]);
    {
        std::lock_guard lock(mu_);
        if (phase_ == Phase::rebooting)
            consider(reboot_end_);
    }
    if (!next)
        return -1;
    // Rounded up, so that the loop does not wake just before the time.
    auto left = ceil<milliseconds>(*next - now).count();
    return static_cast<int>(std::max<long long>(0, left));
}

int Server::run(int stop_fd)
{
    int status = 0;
    for (;;) {
        pollfd fds[4];
        int listener_of[4] = {-1, -1, -1, -1};
        nfds_t n = 0;
        fds[n++] = {stop_fd, POLLIN, 0};
        fds[n++] = {event_fd_, POLLIN, 0};
        auto now = std::chrono::steady_clock::now();
        for (int i = 0; i < 2; ++i)
            if (listeners_[i] >= 0 && now >= accept_paused_until_[i]) {
                listener_of[n] = i;
                fds[n++] = {listeners_[i], POLLIN, 0};
            }
        if (::poll(fds, n, next_timeout()) < 0) {
            if (errno == EINTR)
                continue;
            log_line(label_ + "poll: " + std::strerror(errno));
            status = 1;
            break;
        }
        if (fds[0].revents != 0)
            break;
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
                vlog(label_ + "reboot done: listening again");
            } else {
                log_line(label_ + error + "; trying again");
                reboot_end_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(relisten_retry_ms);
            }
        }
    }
    reap(true);
    close_listeners();
    return status;
}

} // namespace zrmsim
