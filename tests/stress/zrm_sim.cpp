#include "zrm_sim.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kivstress {
namespace {

using Clock = std::chrono::steady_clock;

int ms_until(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the child to end by itself until the deadline; true if it did.
bool reaped(int pid, Clock::time_point deadline)
{
    for (;;) {
        int status = 0;
        const int r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return true;
        if (Clock::now() >= deadline)
            return false;
        ::poll(nullptr, 0, 5);
    }
}

} // namespace

const char *ZrmSim::binary()
{
    return KIV_STRESS_SIM_BINARY;
}

ZrmSim::ZrmSim(std::vector<std::string> args) : args_(std::move(args))
{
    for (std::size_t i = 0; i + 1 < args_.size(); ++i)
        if (args_[i] == "--address")
            address_ = args_[i + 1];
    args_.insert(args_.end(), {"--modbus-port", "0", "--config-port", "0"});
}

ZrmSim::~ZrmSim()
{
    stop();
}

bool ZrmSim::start()
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return false;
    }
    std::vector<std::string> argv_text{binary()};
    argv_text.insert(argv_text.end(), args_.begin(), args_.end());
    std::vector<char *> argv;
    for (auto &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    out_fd_ = out[0];
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }

    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{out_fd_, POLLIN, 0};
        if (::poll(&p, 1, ms_until(deadline)) <= 0) {
            error_ = "no ready line within 10 s";
            return false;
        }
        char buf[256];
        const ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n <= 0) {
            error_ = "zrm-sim ended before its ready line";
            return false;
        }
        line.append(buf, static_cast<std::size_t>(n));
    }
    line.resize(line.find('\n'));
    // "zrm-sim <model> ready modbus <address>:<port> config <address>:<port>"
    char model[16] = {}, modbus[64] = {}, config[64] = {};
    if (std::sscanf(line.c_str(), "zrm-sim %15s ready modbus %63s config %63s", model, modbus,
                    config) != 3) {
        error_ = "not a ready line: " + line;
        return false;
    }
    const std::string m = modbus, c = config;
    modbus_port_ = std::stoi(m.substr(m.rfind(':') + 1));
    config_port_ = std::stoi(c.substr(c.rfind(':') + 1));
    return true;
}

void ZrmSim::stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!reaped(pid_, Clock::now() + std::chrono::seconds(5))) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_ = -1;
    if (out_fd_ >= 0)
        ::close(out_fd_);
    out_fd_ = -1;
}

} // namespace kivstress
