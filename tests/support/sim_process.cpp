#include "sim_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zrmtest {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

struct Limits {
    int descriptors = 0;
    int cpu = -1;
};

// Forks the simulator with stdout into a pipe and stderr into err_path.
int spawn(const std::string &binary, const std::vector<std::string> &args, int &out_fd,
          const std::string &err_path, Limits limits = {})
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return -1;
    int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // Everything the child needs is built before the fork: after it, only
    // calls that are safe in a copy of a threaded process.
    std::vector<std::string> words{binary};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (limits.cpu >= 0)
        CPU_SET(static_cast<unsigned>(limits.cpu), &cpus);
    const rlimit files{static_cast<rlim_t>(limits.descriptors), static_cast<rlim_t>(limits.descriptors)};
    int pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe_fds[1], 1);
        if (err_fd >= 0)
            ::dup2(err_fd, 2);
        if (limits.descriptors > 0)
            ::setrlimit(RLIMIT_NOFILE, &files);
        if (limits.cpu >= 0)
            ::sched_setaffinity(0, sizeof cpus, &cpus);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    if (err_fd >= 0)
        ::close(err_fd);
    out_fd = pipe_fds[0];
    if (pid < 0) {
        ::close(out_fd);
        out_fd = -1;
    }
    return pid;
}

// Waits for pid to end; its status, or -1 if it was killed at the deadline
// or ended by a signal.
int reap(int pid, Clock::time_point deadline)
{
    for (;;) {
        int st = 0;
        int r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        if (r < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        ::poll(nullptr, 0, 10);
    }
}

// Reads what is available on fd until EOF or the deadline.
void drain(int fd, std::string &into, Clock::time_point deadline)
{
    char buf[512];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms_left(deadline)) <= 0)
            return;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        into.append(buf, static_cast<std::size_t>(n));
    }
}

std::string temp_path()
{
    char name[] = "/tmp/zrm-sim-test-err.XXXXXX";
    int fd = ::mkstemp(name);
    if (fd >= 0)
        ::close(fd);
    return name;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool names_option(const std::vector<std::string> &args, const std::string &opt)
{
    for (const auto &a : args)
        if (a == opt || a.rfind(opt + "=", 0) == 0)
            return true;
    return false;
}

} // namespace

const char *default_binary()
{
    return ZRM_SIM_PATH;
}

RunResult run_sim(const std::vector<std::string> &args, Ms limit, const std::string &binary)
{
    RunResult r;
    std::string err_path = temp_path();
    int out_fd = -1;
    int pid = spawn(binary, args, out_fd, err_path);
    if (pid >= 0) {
        auto deadline = Clock::now() + limit;
        drain(out_fd, r.out, deadline);
        ::close(out_fd);
        r.status = reap(pid, deadline);
        r.err = read_file(err_path);
    }
    ::unlink(err_path.c_str());
    return r;
}

SimProcess::SimProcess(std::vector<std::string> args, std::string binary)
    : args_(std::move(args)), binary_(std::move(binary)), err_path_(temp_path())
{
    if (names_option(args_, "--plant"))
        return;
    if (!names_option(args_, "--modbus-port"))
        args_.insert(args_.end(), {"--modbus-port", "0"});
    if (!names_option(args_, "--config-port"))
        args_.insert(args_.end(), {"--config-port", "0"});
}

SimProcess::~SimProcess()
{
    stop();
    ::unlink(err_path_.c_str());
}

bool SimProcess::start(Ms limit)
{
    if (::access(binary_.c_str(), X_OK) != 0) {
        error_ = "no zrm-sim at " + binary_ + ": the host preset builds it (KIV_SIM_BINARY)";
        return false;
    }
    pid_ = spawn(binary_, args_, out_fd_, err_path_, {descriptor_limit_, cpu_});
    if (pid_ < 0) {
        error_ = "cannot start " + binary_;
        return false;
    }
    auto deadline = Clock::now() + limit;
    std::string got;
    auto lines = [&] { return std::count(got.begin(), got.end(), '\n'); };
    while (lines() < expected_modules_) {
        pollfd p{out_fd_, POLLIN, 0};
        if (::poll(&p, 1, ms_left(deadline)) <= 0) {
            error_ = "no ready line in time; stderr: " + err();
            return false;
        }
        char buf[256];
        ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n <= 0) {
            error_ = "ended without a ready line; stderr: " + err();
            return false;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    static const std::regex form(
        R"(zrm-sim (730[123]) ready modbus ([0-9.]+):([0-9]+) config ([0-9.]+):([0-9]+))");
    std::size_t at = 0;
    for (int i = 0; i < expected_modules_; ++i) {
        auto nl = got.find('\n', at);
        std::string line = got.substr(at, nl - at);
        at = nl + 1;
        std::smatch m;
        if (!std::regex_match(line, m, form) || m[2].str() != m[4].str()) {
            error_ = "not a ready line: " + line;
            return false;
        }
        modules_.push_back({m[1].str(), m[2].str(), std::stoi(m[3].str()), std::stoi(m[5].str())});
    }
    more_out_ = got.substr(at);
    ready_ = got.substr(0, got.find('\n'));
    address_ = modules_.front().address;
    modbus_port_ = modules_.front().modbus_port;
    config_port_ = modules_.front().config_port;
    return true;
}

int SimProcess::stop(int sig, Ms limit)
{
    if (pid_ < 0)
        return -1;
    ::kill(pid_, sig);
    auto deadline = Clock::now() + limit;
    drain(out_fd_, more_out_, deadline);
    int status = reap(pid_, deadline);
    ::close(out_fd_);
    pid_ = -1;
    out_fd_ = -1;
    return status;
}

std::string SimProcess::err() const
{
    return read_file(err_path_);
}

} // namespace zrmtest
