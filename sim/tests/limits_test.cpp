// What test rigs do to the simulator's process and connections: start it
// holding many descriptors, leave clients idle, run it out of descriptors.
#include "clients.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

const Bytes read_coils = hex("00 01 00 00 00 06 00 01 00 00 00 08");

int highest_descriptor(int pid)
{
    int top = -1;
    if (DIR *d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent *e = ::readdir(d))
            top = std::max(top, std::atoi(e->d_name));
        ::closedir(d);
    }
    return top;
}

// User and system time of a process so far, in seconds.
double cpu_seconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15)
            ticks += std::stol(f);
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(Descriptors, StartedByAParentHoldingMoreThanFdSetsizeItStillAnswers)
{
    constexpr int held = 1100;
    rlimit r{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &r), 0);
    if (r.rlim_max != RLIM_INFINITY && r.rlim_max < held + 64)
        GTEST_SKIP() << "the hard descriptor limit is " << r.rlim_max;
    r.rlim_cur = held + 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &r), 0);
    // Leaked the way a careless parent leaks them: inheritable, every number
    // below held taken, so that a child that keeps them opens its sockets
    // above FD_SETSIZE.
    std::vector<int> leaked;
    for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0 && fd < held; fd = ::dup(fd))
        leaked.push_back(fd);
    Sim sim({"--model", "7302"});
    bool started = sim.start();
    for (int fd : leaked)
        ::close(fd);
    ASSERT_TRUE(started) << sim.error();

    RawModbus m(sim.modbus_port());
    EXPECT_EQ(m.exchange(read_coils).size(), 10u) << sim.err();
    EXPECT_LT(highest_descriptor(sim.pid()), 64) << "the inherited descriptors are closed";
    EXPECT_EQ(sim.stop(), 0) << sim.err();
}

TEST(IdleTimeout, SilentClientsOfBothServicesAreClosedAndBusyOnesKept)
{
    Sim sim({"--model", "7301", "--idle-timeout", "1"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus idle_modbus(sim.modbus_port());
    LineConn idle_config(sim.config_port());
    ASSERT_TRUE(idle_config.login());
    auto t0 = Clock::now();
    EXPECT_TRUE(idle_config.closed_by_peer(5s));
    EXPECT_GE(Clock::now() - t0, 900ms) << "not before the timeout";
    EXPECT_TRUE(idle_modbus.closed_by_peer(5s));
    EXPECT_EQ(count(sim.err(), "idle for 1 s, closing"), 2) << sim.err();

    LineConn busy(sim.config_port());
    ASSERT_TRUE(busy.login());
    for (int i = 0; i < 5; ++i) {
        ::usleep(400 * 1000);
        EXPECT_EQ(busy.ask("G:ai_en=\r\n"), "A:ai_en=255\r\n") << "a client that talks is kept";
    }
}

TEST(IdleTimeout, ZeroKeepsIdleClients)
{
    Sim sim({"--model", "7302", "--idle-timeout", "0"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.login());
    EXPECT_TRUE(c.silent_for(1500ms));
    EXPECT_EQ(c.ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
}

TEST(Descriptors, OutOfDescriptorsItRestsLogsOnceAndTheOtherServiceGoesOn)
{
    Sim sim({"--model", "7302"});
    sim.set_descriptor_limit(24);
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    ASSERT_EQ(m.exchange(read_coils).size(), 10u);

    // More configuration clients than descriptors; the kernel queues the rest.
    double cpu0 = cpu_seconds(sim.pid());
    std::vector<std::unique_ptr<LineConn>> flood;
    for (int i = 0; i < 24; ++i)
        flood.push_back(std::make_unique<LineConn>(sim.config_port()));
    ::usleep(1500 * 1000);
    EXPECT_LT(cpu_seconds(sim.pid()) - cpu0, 0.5) << "no busy loop on the listener";
    EXPECT_EQ(m.exchange(read_coils).size(), 10u) << "the Modbus client is still served";
    EXPECT_EQ(count(sim.err(), "config: cannot accept: Too many open files"), 1) << sim.err();

    flood.clear();
    ASSERT_TRUE(connect_within(sim.config_port(), 5s));
    // The clients that gave up are still queued before this one, and each
    // takes its turn with the descriptors there are: a busy machine needs
    // more than the usual 2 s for that.
    LineConn after(sim.config_port());
    EXPECT_EQ(after.ask("L:\r\n", 8s), "A:LoginOK\r\n") << "accepting again once connections end";
}
