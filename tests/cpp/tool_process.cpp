#include "tool_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

extern char **environ;

namespace kivtest {

namespace {

using clock = std::chrono::steady_clock;

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

// A loopback socket bound to an ephemeral port.
int bound_socket(int &port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return fd;
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace

Process::Process(std::vector<std::string> argv, bool capture_stderr)
{
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (capture_stderr)
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    else
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) == 0)
        pid_ = pid;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
}

Process::~Process()
{
    if (pid_ > 0 && status_ < 0)
        reap(true);
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

bool Process::pump(std::chrono::milliseconds limit, bool until_line)
{
    const auto deadline = clock::now() + limit;
    for (;;) {
        if (until_line && out_.find('\n', line_pos_) != std::string::npos)
            return true;
        pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (out_fd_ < 0 && err_fd_ < 0)
            return !until_line;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0)
            return false;
        int n = ::poll(p, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t got = ::read(p[i].fd, buf, sizeof buf);
            if (got <= 0) {
                ::close(p[i].fd);
                (i == 0 ? out_fd_ : err_fd_) = -1;
                continue;
            }
            (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(got));
        }
    }
}

bool Process::read_line(std::string &line, std::chrono::milliseconds limit)
{
    if (!pump(limit, true))
        return false;
    std::size_t end = out_.find('\n', line_pos_);
    line = out_.substr(line_pos_, end - line_pos_);
    line_pos_ = end + 1;
    return true;
}

void Process::signal(int sig)
{
    if (pid_ > 0 && status_ < 0)
        ::kill(pid_, sig);
}

void Process::reap(bool kill_first)
{
    if (kill_first)
        ::kill(pid_, SIGKILL);
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool Process::finish(std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
        return false;
    bool done = pump(limit, false);
    reap(!done);
    return done;
}

Sim::Sim(std::vector<std::string> args) : process_(std::move(args))
{
    if (!process_.start()) {
        ready_line = process_.error();
        return;
    }
    ready_line = process_.ready_line();
    modbus_port = process_.modbus_port();
    config_port = process_.config_port();
}

std::vector<std::string> kivtool_argv(const std::vector<std::string> &args)
{
    return built_argv(KIVTOOL_PATH, args);
}

std::vector<std::string> built_argv(const std::string &program, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = split(KIV_EMULATOR, '|');
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    if (argv[0].find('/') == std::string::npos) {
        // posix_spawn takes a path: find the emulator on PATH.
        for (const auto &dir : split(::getenv("PATH") ? ::getenv("PATH") : "/usr/bin", ':')) {
            std::string candidate = dir + "/" + argv[0];
            if (::access(candidate.c_str(), X_OK) == 0) {
                argv[0] = candidate;
                break;
            }
        }
    }
    return argv;
}

ToolRun kivtool(const std::vector<std::string> &args)
{
    Process p(kivtool_argv(args));
    ToolRun r;
    if (!p.finish(std::chrono::seconds(60)))
        r.err = "kivtool did not end within 60 s\n";
    r.status = p.status();
    r.out = p.out();
    r.err += p.err();
    return r;
}

std::string shell_words(const std::vector<std::string> &argv)
{
    std::string line;
    for (const std::string &w : argv) {
        line += line.empty() ? "'" : " '";
        for (char c : w)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

std::vector<std::string> ports(const Sim &s)
{
    return {"--modbus-port", std::to_string(s.modbus_port), "--config-port",
            std::to_string(s.config_port)};
}

Listener::Listener()
{
    fd_ = bound_socket(port_);
    ::listen(fd_, 8);
}

Listener::~Listener()
{
    ::close(fd_);
}

bool Listener::connected() const
{
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

ClosedPort::ClosedPort()
{
    fd_ = bound_socket(port_);
}

ClosedPort::~ClosedPort()
{
    ::close(fd_);
}

} // namespace kivtest
