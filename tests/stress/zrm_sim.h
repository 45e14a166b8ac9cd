// A zrm-sim process for the stress tests: started on a loopback address
// with ephemeral ports, waited for by its ready line, ended by SIGTERM (then
// SIGKILL) when the object goes. Every wait is bounded.
#pragma once

#include <string>
#include <vector>

namespace kivstress {

class ZrmSim {
public:
    // args: everything but the ports, which are always ephemeral.
    explicit ZrmSim(std::vector<std::string> args);
    ~ZrmSim();
    ZrmSim(const ZrmSim &) = delete;
    ZrmSim &operator=(const ZrmSim &) = delete;

    // Starts the process and waits up to 10 s for its ready line. On false,
    // error() says why.
    bool start();
    void stop();

    const std::string &address() const { return address_; }
    int modbus_port() const { return modbus_port_; }
    int config_port() const { return config_port_; }
    int pid() const { return pid_; }
    const std::string &error() const { return error_; }

    // The binary the tests run (compiled in).
    static const char *binary();

private:
    std::vector<std::string> args_;
    std::string address_ = "127.0.0.1";
    std::string error_;
    int pid_ = -1;
    int out_fd_ = -1;
    int modbus_port_ = 0;
    int config_port_ = 0;
};

} // namespace kivstress
