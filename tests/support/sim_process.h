// A zrm-sim process for a test or a benchmark: started with ephemeral ports
// unless its arguments name them, waited for by its ready lines (one per
// module: a plant prints several), ended by SIGTERM (then SIGKILL) and
// reaped when the object goes. Its standard error goes to a file of its own
// so that a failure can say what the simulator said. Every wait is bounded.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace zrmtest {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

// The zrm-sim this build's tests run: the host build's for a cross build,
// whose tests cannot build one of their own.
const char *default_binary();

// What one ready line says about its module.
struct Ready {
    std::string model;
    std::string address;
    int modbus_port = 0;
    int config_port = 0;
};

struct RunResult {
    int status = -1; // exit status; -1 if it did not end by itself in time
    std::string out;
    std::string err;
};

// Runs zrm-sim with exactly these arguments until it ends (bad options,
// --help), killing it after limit.
RunResult run_sim(const std::vector<std::string> &args, Ms limit = 10s,
                  const std::string &binary = default_binary());

class SimProcess {
public:
    // --modbus-port 0 and --config-port 0 are added unless args name ports
    // or a plant file (whose lines name them).
    explicit SimProcess(std::vector<std::string> args, std::string binary = default_binary());
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Set before start: how many ready lines start waits for; RLIMIT_NOFILE
    // of the process (0 leaves it inherited); the one processor it runs on
    // (-1: any).
    void expect_modules(int n) { expected_modules_ = n; }
    void set_descriptor_limit(int n) { descriptor_limit_ = n; }
    void pin_to_cpu(int cpu) { cpu_ = cpu; }

    // Starts the process and waits for its ready lines; false (with the
    // reason and its standard error in error()) if it ended, stayed silent
    // or printed something else instead.
    bool start(Ms limit = 10s);
    // SIGTERM (or sig), then the exit status; -1 if it had to be killed, ended
    // by a signal or was not running.
    int stop(int sig = 15, Ms limit = 5s);

    int pid() const { return pid_; }
    const std::string &ready_line() const { return ready_; }
    // Every ready line's module, in the order printed.
    const std::vector<Ready> &modules() const { return modules_; }
    // The first module's.
    const std::string &address() const { return address_; }
    int modbus_port() const { return modbus_port_; }
    int config_port() const { return config_port_; }
    // What it wrote on standard output after the ready lines (complete after stop).
    const std::string &more_stdout() const { return more_out_; }
    // Its standard error so far.
    std::string err() const;
    const std::string &error() const { return error_; }

private:
    std::vector<std::string> args_;
    std::string binary_;
    int pid_ = -1;
    int descriptor_limit_ = 0;
    int cpu_ = -1;
    int expected_modules_ = 1;
    std::vector<Ready> modules_;
    int out_fd_ = -1;
    std::string err_path_;
    std::string ready_, more_out_, error_, address_;
    int modbus_port_ = 0, config_port_ = 0;
};

} // namespace zrmtest
