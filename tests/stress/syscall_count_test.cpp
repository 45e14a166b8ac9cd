// One exchange is one send, one wait and one receive, and nothing else: no
// retry, no second receive, no allocation, no select. strace counts the
// system calls of a driver that makes only library calls between two
// markers; a change in the exchange's system calls fails here.
#include "sim_process.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

using zrmtest::SimProcess;

namespace {

constexpr int calls = 50;

struct Counts {
    int send = 0, wait = 0, receive = 0;
    std::map<std::string, int> other;
};

std::string others(const Counts &c)
{
    std::ostringstream s;
    for (const auto &[name, n] : c.other)
        s << " " << name << " x" << n;
    return s.str();
}

// The system call's name on a strace line: "[pid] name(...".
std::string call_name(const std::string &line)
{
    std::size_t at = 0;
    while (at < line.size() && (std::isdigit(static_cast<unsigned char>(line[at])) || line[at] == ' '))
        ++at;
    const std::size_t paren = line.find('(', at);
    return paren == std::string::npos ? std::string() : line.substr(at, paren - at);
}

// Runs the driver under strace and counts what it did between its markers.
bool trace(const std::string &mode, const std::string &address, int port, Counts &counts,
           std::string &why)
{
    char path[] = "/tmp/kiv-syscalls.XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        why = "mkstemp failed";
        return false;
    }
    ::close(fd);
    // LeakSanitizer cannot run under a tracer; the sanitizer builds' other
    // checks stay on.
    const std::string command = "ASAN_OPTIONS=detect_leaks=0 " + std::string(KIV_STRESS_STRACE) +
                                " -f -qq -o " + path + " " +
                                KIV_STRESS_DRIVER + " " + mode + " " + address + " " +
                                std::to_string(port) + " " + std::to_string(calls);
    const int status = std::system(command.c_str());
    std::ifstream in(path);
    std::string line;
    int markers = 0;
    while (std::getline(in, line) && markers < 2) {
        const std::string name = call_name(line);
        if (name == "getppid") {
            ++markers;
        } else if (markers == 1 && !name.empty()) {
            if (name == "send" || name == "sendto")
                ++counts.send;
            else if (name == "poll")
                ++counts.wait;
            else if (name == "recv" || name == "recvfrom")
                ++counts.receive;
            else
                ++counts.other[name];
        }
    }
    ::unlink(path);
    if (status != 0) {
        why = "driver failed (status " + std::to_string(status) + "): " + command;
        return false;
    }
    if (markers != 2) {
        why = "markers not found in the trace";
        return false;
    }
    return true;
}

class SystemCalls : public ::testing::Test {
protected:
    void expect_per_call(SimProcess &sim, const std::string &mode, bool config, int exchanges,
                         int receives)
    {
        if (sim.pid() < 0) {
            ASSERT_TRUE(sim.start()) << sim.error();
        }
        Counts c;
        std::string why;
        ASSERT_TRUE(trace(mode, sim.address(), config ? sim.config_port() : sim.modbus_port(), c,
                          why))
            << why;
        EXPECT_EQ(c.send, calls * exchanges) << mode;
        EXPECT_EQ(c.wait, calls * exchanges) << mode;
        EXPECT_EQ(c.receive, calls * receives) << mode;
        EXPECT_TRUE(c.other.empty()) << mode << ": other system calls:" << others(c);
    }
};

TEST_F(SystemCalls, ModbusReadsAreOneSendOneWaitOneReceive)
{
    SimProcess m7301({"--model", "7301"});
    expect_per_call(m7301, "ai_read", false, 1, 1);
    expect_per_call(m7301, "zrm7301_ai_read", false, 1, 1);
    SimProcess m7302({"--model", "7302"});
    expect_per_call(m7302, "do_read", false, 1, 1);
    expect_per_call(m7302, "di_read", false, 1, 1);
}

TEST_F(SystemCalls, CoilWritesAreOneSendOneWaitOneReceive)
{
    SimProcess m7302({"--model", "7302"});
    expect_per_call(m7302, "do_write", false, 1, 1);
    expect_per_call(m7302, "do_write_single", false, 1, 1);
}

TEST_F(SystemCalls, TimedOutExchangeIsOneSendAndOneWaitWithoutReceive)
{
    SimProcess late({"--model", "7301", "--delay-ms", "5000"});
    expect_per_call(late, "modbus_timeout", false, 1, 0);
}

TEST_F(SystemCalls, ConfigurationExchangesAreOneSendOneWaitOneReceive)
{
    SimProcess m7301({"--model", "7301"});
    expect_per_call(m7301, "request_response", true, 1, 1);
    expect_per_call(m7301, "cfg_get", true, 1, 1);
    // Read, modify, write: two exchanges per call.
    expect_per_call(m7301, "cfg_set", true, 2, 2);
}

} // namespace
