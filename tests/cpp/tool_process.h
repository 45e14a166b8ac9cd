// Programs that the kivtool tests run: zrm-sim on ephemeral loopback ports,
// and kivtool itself (under the build's emulator for a cross build). Every
// wait is bounded; a simulator is ended with SIGTERM when its object goes.
#pragma once

#include "sim_process.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kivtest {

// A started program with its standard output and error on pipes.
class Process {
public:
    // argv[0] is the program's path. stdin is /dev/null.
    explicit Process(std::vector<std::string> argv, bool capture_stderr = true);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool started() const { return pid_ > 0; }
    // Reads standard output until it holds a whole line, or the limit.
    bool read_line(std::string &line, std::chrono::milliseconds limit);
    // Reads both pipes to their end (the program closed them or ended), then
    // reaps it; false when the limit passed first (the program is killed).
    bool finish(std::chrono::milliseconds limit);
    void signal(int sig);
    // Takes what the program has written so far, waiting at most limit.
    void collect(std::chrono::milliseconds limit) { pump(limit, false); }

    int status() const { return status_; } // exit status, or 128 + signal
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

private:
    bool pump(std::chrono::milliseconds limit, bool until_line);
    void reap(bool kill_first);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int status_ = -1;
    std::string out_;
    std::string err_;
    std::size_t line_pos_ = 0;
};

// zrm-sim for one model, on 127.0.0.1 with ephemeral ports, started at once.
class Sim {
public:
    explicit Sim(std::vector<std::string> args);
    bool ready() const { return modbus_port > 0; }
    int modbus_port = 0;
    int config_port = 0;
    // Or, when it did not start, why.
    std::string ready_line;

private:
    zrmtest::SimProcess process_;
};

// What a kivtool run gave.
struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs kivtool with args (the emulator in front for a cross build).
ToolRun kivtool(const std::vector<std::string> &args);
// The command line kivtool runs with, for a Process of one's own.
std::vector<std::string> kivtool_argv(const std::vector<std::string> &args);
// The same for any program of this build.
std::vector<std::string> built_argv(const std::string &program, const std::vector<std::string> &args);
// The command line as one line for /bin/sh, each word quoted: for runs
// that need the shell's redirections and pipes.
std::string shell_words(const std::vector<std::string> &argv);
// The ports of a simulator as kivtool options.
std::vector<std::string> ports(const Sim &s);

// A loopback TCP port that listens but never accepts: after a run, whether
// anything connected to it.
class Listener {
public:
    Listener();
    ~Listener();
    int port() const { return port_; }
    bool connected() const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port where nothing listens: connects are refused.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace kivtest
