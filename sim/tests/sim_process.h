// A zrm-sim process for one test: started with ephemeral ports on
// 127.0.0.1, waited for by its ready lines (one per module), ended by SIGTERM (or killed) in
// the destructor. Every wait is bounded.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

// What one ready line says about its module.
struct Ready {
    std::string model;
    std::string address;
    int modbus_port = 0;
    int config_port = 0;
};

struct RunResult {
    int status = -1;   // exit status; -1 if it did not end by itself in time
    std::string out;
    std::string err;
};

// Runs zrm-sim with exactly these arguments until it ends (bad options,
// --help), killing it after limit.
RunResult run_sim(const std::vector<std::string> &args, Ms limit = 10s);

class Sim {
public:
    // --modbus-port 0 and --config-port 0 are added unless args name ports
    // or a plant file (whose lines name them).
    explicit Sim(std::vector<std::string> args);
    ~Sim();
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    // Starts the process and waits for its ready line; false (with the
    // reason in error()) if it ended or stayed silent instead.
    bool start(Ms limit = 10s);
    // SIGTERM (or sig), then the exit status; -1 if it had to be killed or
    // ended by a signal.
    int stop(int sig = 15, Ms limit = 5s);

    // How many ready lines start waits for; set before start.
    void expect_modules(int n) { expected_modules_ = n; }
    // RLIMIT_NOFILE of the process, set before start; 0 leaves it inherited.
    void set_descriptor_limit(int n) { descriptor_limit_ = n; }
    int pid() const { return pid_; }

    const std::string &ready_line() const { return ready_; }
    // Every ready line's module, in the order printed.
    const std::vector<Ready> &modules() const { return modules_; }
    int modbus_port() const { return modbus_port_; }
    int config_port() const { return config_port_; }
    // What it wrote on standard output after the ready line (complete after stop).
    const std::string &more_stdout() const { return more_out_; }
    // Its standard error so far.
    std::string err() const;
    const std::string &error() const { return error_; }

private:
    std::vector<std::string> args_;
    int pid_ = -1;
    int descriptor_limit_ = 0;
    int expected_modules_ = 1;
    std::vector<Ready> modules_;
    int out_fd_ = -1;
    std::string err_path_;
    std::string ready_, more_out_, error_;
    int modbus_port_ = 0, config_port_ = 0;
};

} // namespace simtest
