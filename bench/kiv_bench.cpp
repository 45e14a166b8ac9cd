// kiv-bench: round-trip time per exchange of the library against the floor
// (a raw blocking socket: one send, one receive) and against libmodbus, on
// 127.0.0.1, with client and server pinned to one core and then to two.
// The Modbus server is kiv-bench-server (libmodbus), the configuration
// service zrm-sim; both are started here. System calls per exchange are
// counted by count-syscalls.sh (strace) and shown beside the timings.
// Two connect figures follow: KIV_Connect against a blocking connect to a
// listener that accepts at once, and the CPU a KIV_Connect burns while it
// waits out its deadline on a listener that never completes the handshake.
//
//   kiv-bench [--json FILE] [--exchanges N] [--repetitions R] [--no-syscalls]
//   kiv-bench --probe CASE ADDRESS MODBUS_PORT CONFIG_PORT N   (for the count)
#include "kiv.h"
#include "sim_process.h"

#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

// ---- processes -------------------------------------------------------------

struct Server {
    int pid = -1;
    int out = -1;
    int modbus_port = 0;
};

void pin_self(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<unsigned>(cpu), &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0)
        std::perror("sched_setaffinity");
}

// Starts argv pinned to cpu (the pin is inherited by all its threads) and
// reads its ready line: the port follows the ':'.
bool start_server(std::vector<std::string> argv, int cpu, Server &s)
{
    int p[2];
    if (::pipe(p) != 0)
        return false;
    s.pid = ::fork();
    if (s.pid == 0) {
        pin_self(cpu);
        ::dup2(p[1], 1);
        ::close(p[0]);
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        std::perror(args[0]);
        ::_exit(127);
    }
    ::close(p[1]);
    s.out = p[0];
    std::string line;
    char c = 0;
    pollfd pf{s.out, POLLIN, 0};
    while (line.find('\n') == std::string::npos) {
        if (::poll(&pf, 1, 10000) <= 0 || ::read(s.out, &c, 1) != 1) {
            std::fprintf(stderr, "%s did not get ready\n", argv[0].c_str());
            return false;
        }
        line += c;
    }
    const std::size_t colon = line.find(':');
    s.modbus_port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
    return s.modbus_port > 0;
}

void stop_server(Server &s)
{
    if (s.pid > 0) {
        ::kill(s.pid, SIGTERM);
        ::waitpid(s.pid, nullptr, 0);
        ::close(s.out);
    }
    s.pid = -1;
}

// ---- the exchanges ---------------------------------------------------------

constexpr const char *address = "127.0.0.1";
constexpr int timeout_ms = 1000;

int tcp_blocking(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = ::inet_addr(address);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

bool recv_exactly(int fd, unsigned char *buf, std::size_t n)
{
    for (std::size_t got = 0; got < n;) {
        const ssize_t r = ::recv(fd, buf + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// The requests as the library sends them: read 24 registers from 256, and
// write 8 coils from 0.
constexpr unsigned char read_request[12] = {0, 0, 0, 0, 0, 6, 0, 3, 1, 0, 0, 24};
constexpr unsigned char write_request[14] = {0, 0, 0, 0, 0, 8, 0, 0x0F, 0, 0, 0, 8, 1, 0x5A};
constexpr std::size_t read_reply_size = 9 + 48;
constexpr std::size_t write_reply_size = 12;
constexpr char cfg_line[] = "G:ai_en=\r\n";

// One case: connects in setup, then each run() is one exchange; or, for a
// connect case, each sample is a whole connect (measure_connect).
struct Case {
    const char *name;
    const char *label;
    bool ours;
    bool connects = false;
    int fd = -1;
    modbus_t *ctx = nullptr;
};

std::vector<Case> all_cases()
{
    return {
        {"floor_read", "raw socket: read 24 registers", false},
        {"kiv_ai_read", "KIV_AI_Read 24 registers", true},
        {"kiv_7301_ai_read", "KIV_ZRM_7301_AI_Read ch 1-8", true},
        {"modbus_read_registers", "libmodbus modbus_read_registers", false},
        {"floor_write", "raw socket: write 8 coils", false},
        {"kiv_do_write", "KIV_DO_Write 8 coils", true},
        {"modbus_write_bits", "libmodbus modbus_write_bits", false},
        {"floor_cfg", "raw socket: \"G:ai_en=\" line", false},
        {"kiv_cfg_get_ai_enable", "KIV_Cfg_Get_AI_Enable", true},
        {"floor_connect", "blocking connect", false, true},
        {"kiv_connect", "KIV_Connect", true, true},
    };
}

bool is(const Case &c, const char *name)
{
    return std::strcmp(c.name, name) == 0;
}

void setup(Case &c, int modbus_port, int config_port)
{
    if (is(c, "floor_read") || is(c, "floor_write")) {
        c.fd = tcp_blocking(modbus_port);
    } else if (is(c, "floor_cfg")) {
        c.fd = tcp_blocking(config_port);
        unsigned char ok[11];
        if (::send(c.fd, "L:\r\n", 4, 0) != 4 || !recv_exactly(c.fd, ok, sizeof ok)) {
            std::fprintf(stderr, "raw login failed\n");
            std::exit(1);
        }
    } else if (is(c, "modbus_read_registers") || is(c, "modbus_write_bits")) {
        c.ctx = modbus_new_tcp(address, modbus_port);
        if (c.ctx == nullptr || modbus_connect(c.ctx) != 0) {
            std::fprintf(stderr, "libmodbus connect failed\n");
            std::exit(1);
        }
    } else if (is(c, "kiv_cfg_get_ai_enable")) {
        if (KIV_Cfg_Login(address, config_port, timeout_ms, "", &c.fd) != KIV_OK) {
            std::fprintf(stderr, "KIV_Cfg_Login failed\n");
            std::exit(1);
        }
    } else if (KIV_Connect(address, modbus_port, timeout_ms, &c.fd) != KIV_OK) {
        std::fprintf(stderr, "KIV_Connect failed\n");
        std::exit(1);
    }
}

void teardown(Case &c)
{
    if (c.ctx != nullptr) {
        modbus_close(c.ctx);
        modbus_free(c.ctx);
        c.ctx = nullptr;
    }
    if (c.fd >= 0)
        ::close(c.fd);
    c.fd = -1;
}

// One exchange; false if it failed.
bool run(Case &c)
{
    unsigned char buf[260];
    int len = 0;
    if (is(c, "floor_read"))
        return ::send(c.fd, read_request, sizeof read_request, 0) == sizeof read_request &&
               recv_exactly(c.fd, buf, read_reply_size);
    if (is(c, "floor_write"))
        return ::send(c.fd, write_request, sizeof write_request, 0) == sizeof write_request &&
               recv_exactly(c.fd, buf, write_reply_size);
    if (is(c, "floor_cfg")) {
        if (::send(c.fd, cfg_line, sizeof cfg_line - 1, 0) != sizeof cfg_line - 1)
            return false;
        std::size_t got = 0;
        while (got < 2 || buf[got - 1] != '\n') {
            const ssize_t r = ::recv(c.fd, buf + got, sizeof buf - got, 0);
            if (r <= 0)
                return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }
    if (is(c, "kiv_ai_read"))
        return KIV_AI_Read(c.fd, timeout_ms, 256, 24, buf, sizeof buf, &len) == KIV_OK;
    if (is(c, "kiv_7301_ai_read"))
        return KIV_ZRM_7301_AI_Read(c.fd, timeout_ms, 1, 8, buf, sizeof buf, &len) == KIV_OK;
    if (is(c, "kiv_do_write")) {
        unsigned char bits = 0x5A;
        return KIV_DO_Write(c.fd, timeout_ms, 0, 8, &bits, 1) == KIV_OK;
    }
    if (is(c, "kiv_cfg_get_ai_enable"))
        return KIV_Cfg_Get_AI_Enable(c.fd, timeout_ms, 0, 8, buf, sizeof buf, &len) == KIV_OK;
    if (is(c, "modbus_read_registers")) {
        std::uint16_t regs[24];
        return modbus_read_registers(c.ctx, 256, 24, regs) == 24;
    }
    if (is(c, "modbus_write_bits")) {
        const std::uint8_t bits[8] = {0, 1, 0, 1, 1, 0, 1, 0};
        return modbus_write_bits(c.ctx, 0, 8, bits) == 8;
    }
    return false;
}

// ---- measuring -------------------------------------------------------------

std::int64_t now_ns()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

struct Figures {
    double median_us = 0;
    double p99_us = 0;
    double spread_us = 0; // largest minus smallest median of the repetitions
};

double percentile(std::vector<std::int64_t> v, double p)
{
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return static_cast<double>(v[at]) / 1000.0;
}

// Repetitions of n samples each; sample() gives one time in ns, or -1 if
// what it timed failed.
template <class Sample>
Figures time_samples(const char *name, int n, int repetitions, Sample sample)
{
    std::vector<std::int64_t> all;
    std::vector<double> medians;
    for (int r = 0; r < repetitions; ++r) {
        std::vector<std::int64_t> samples(static_cast<std::size_t>(n));
        for (auto &s : samples) {
            s = sample();
            if (s < 0) {
                std::fprintf(stderr, "%s failed\n", name);
                std::exit(1);
            }
        }
        medians.push_back(percentile(samples, 0.5));
        all.insert(all.end(), samples.begin(), samples.end());
    }
    const auto [lo, hi] = std::minmax_element(medians.begin(), medians.end());
    return {percentile(all, 0.5), percentile(all, 0.99), *hi - *lo};
}

// Warm-up, then repetitions of n exchanges each, every exchange timed.
Figures measure(Case &c, int modbus_port, int config_port, int n, int repetitions)
{
    setup(c, modbus_port, config_port);
    for (int i = 0; i < std::max(n / 5, 200); ++i)
        if (!run(c)) {
            std::fprintf(stderr, "%s failed\n", c.name);
            std::exit(1);
        }
    const Figures f = time_samples(c.name, n, repetitions, [&c]() -> std::int64_t {
        const std::int64_t t0 = now_ns();
        return run(c) ? now_ns() - t0 : -1;
    });
    teardown(c);
    return f;
}

// ---- connects --------------------------------------------------------------

int loopback_listener(int backlog, int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::inet_addr(address);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        std::perror("listener");
        std::exit(1);
    }
    port = ntohs(a.sin_port);
    return fd;
}

// socket and a blocking connect; -1 if either failed.
int plain_connect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = ::inet_addr(address);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The peer of the connect cases: a child, pinned like the other servers,
// that accepts each connection, closes it and then writes one byte on a
// pipe. The client reads that byte after every sample, outside the timing,
// so the accept queue never holds more than the connection just made: a
// full queue would drop a SYN and add a whole retransmission to a sample.
struct Acceptor {
    int pid = -1;
    int port = 0;
    int accepted = -1;
};

bool start_acceptor(int cpu, Acceptor &s)
{
    int p[2];
    if (::pipe(p) != 0)
        return false;
    const int listener = loopback_listener(SOMAXCONN, s.port);
    const pid_t parent = ::getpid();
    s.pid = ::fork();
    if (s.pid < 0)
        return false;
    if (s.pid == 0) {
        // It stops with the bench, once the bench stops reading its pipe, or
        // after 10 s without a connection, whichever comes first.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(0);
        ::close(p[0]);
        pin_self(cpu);
        pollfd pf{listener, POLLIN, 0};
        while (::poll(&pf, 1, 10000) > 0) {
            const int c = ::accept(listener, nullptr, nullptr);
            if (c < 0)
                ::_exit(1);
            ::close(c);
            if (::write(p[1], "a", 1) != 1)
                break;
        }
        ::_exit(0);
    }
    ::close(p[1]);
    ::close(listener);
    s.accepted = p[0];
    return true;
}

void stop_acceptor(Acceptor &s)
{
    if (s.pid > 0) {
        ::close(s.accepted);
        ::kill(s.pid, SIGTERM);
        ::waitpid(s.pid, nullptr, 0);
    }
    s.pid = -1;
}

// The untimed end of a connect sample: once the acceptor has taken the
// connection, close it with a reset. An orderly close would leave a
// TIME_WAIT behind every sample, and thousands of them make port choice
// slower and slower, and in the end impossible.
bool finish_connect(int fd, int accepted)
{
    pollfd pf{accepted, POLLIN, 0};
    char byte = 0;
    const bool taken = ::poll(&pf, 1, 5000) == 1 && ::read(accepted, &byte, 1) == 1;
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
    return taken;
}

// One connect, from no socket to a connected one; -1 if it failed.
std::int64_t connect_sample(const Case &c, const Acceptor &peer)
{
    const std::int64_t t0 = now_ns();
    int fd = -1;
    if (is(c, "kiv_connect")) {
        if (KIV_Connect(address, peer.port, timeout_ms, &fd) != KIV_OK)
            fd = -1;
    } else {
        fd = plain_connect(peer.port);
    }
    const std::int64_t t = now_ns() - t0;
    return fd >= 0 && finish_connect(fd, peer.accepted) ? t : -1;
}

Figures measure_connect(const Case &c, const Acceptor &peer, int n, int repetitions)
{
    for (int i = 0; i < std::max(n / 5, 200); ++i)
        if (connect_sample(c, peer) < 0) {
            std::fprintf(stderr, "%s failed\n", c.name);
            std::exit(1);
        }
    return time_samples(c.name, n, repetitions, [&]() { return connect_sample(c, peer); });
}

// A connect that waits out its whole deadline, with the CPU the waiting
// thread used meanwhile.
constexpr int silent_deadline_ms = 1000;

struct SilentRun {
    double wall_ms = 0;
    double cpu_ms = 0;
    int result = -1;
};

double thread_cpu_ms()
{
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// The silent module is a loopback listener with a backlog of 0 whose one
// place in the accept queue is taken by a connection nobody accepts: the
// kernel drops every further SYN, so a connect to it stays in progress, as
// one to a module that is switched off or unplugged does.
std::vector<SilentRun> measure_silent(int repetitions)
{
    int port = 0;
    const int listener = loopback_listener(0, port);
    const int filler = plain_connect(port);
    // For a listener, TCP_INFO gives the accept queue's length (unacked) and
    // its limit (sacked). The filler's last ACK may still be on its way.
    bool full = false;
    for (int i = 0; i < 100 && filler >= 0 && !full; ++i) {
        tcp_info info{};
        socklen_t len = sizeof info;
        full = ::getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
               info.tcpi_unacked > info.tcpi_sacked;
        if (!full)
            ::usleep(1000);
    }
    if (!full) {
        std::fprintf(stderr, "the silent listener's accept queue did not fill\n");
        std::exit(1);
    }
    std::vector<SilentRun> runs;
    for (int r = 0; r < repetitions; ++r) {
        SilentRun one;
        int fd = -1;
        const double cpu0 = thread_cpu_ms();
        const std::int64_t t0 = now_ns();
        one.result = KIV_Connect(address, port, silent_deadline_ms, &fd);
        one.wall_ms = static_cast<double>(now_ns() - t0) / 1e6;
        one.cpu_ms = thread_cpu_ms() - cpu0;
        if (one.result == KIV_OK)
            ::close(fd);
        runs.push_back(one);
    }
    ::close(filler);
    ::close(listener);
    return runs;
}

// ---- the run ---------------------------------------------------------------

struct Counts {
    double send = -1, wait = -1, receive = -1, other = -1;
};

struct Table {
    std::string title;
    std::map<std::string, Figures> figures;
};

// What each of our cases is compared with.
const char *floor_of(const std::string &name)
{
    if (name == "kiv_do_write")
        return "floor_write";
    if (name == "kiv_cfg_get_ai_enable")
        return "floor_cfg";
    if (name == "kiv_connect")
        return "floor_connect";
    return "floor_read";
}

const char *libmodbus_of(const std::string &name)
{
    if (name == "kiv_do_write")
        return "modbus_write_bits";
    if (name == "kiv_cfg_get_ai_enable" || name == "kiv_connect")
        return nullptr;
    return "modbus_read_registers";
}

std::string syscalls_text(const std::map<std::string, Counts> &counts, const std::string &name)
{
    const auto it = counts.find(name);
    if (it == counts.end() || it->second.send < 0)
        return "-";
    char s[64];
    const Counts &c = it->second;
    std::snprintf(s, sizeof s, "%g+%g+%g%s", c.send, c.wait, c.receive,
                  c.other > 0 ? " +other" : "");
    return s;
}

void print_table(const Table &t, const std::map<std::string, Counts> &counts)
{
    std::printf("\n%s\n", t.title.c_str());
    std::printf("%-34s %9s %9s %8s %10s %11s  %s\n", "exchange", "median", "p99", "spread",
                "ours/floor", "ours/modbus", "syscalls send+wait+recv");
    for (const Case &c : all_cases()) {
        const Figures &f = t.figures.at(c.name);
        std::string vs_floor = "", vs_modbus = "";
        if (c.ours) {
            char s[32];
            std::snprintf(s, sizeof s, "%.2f", f.median_us / t.figures.at(floor_of(c.name)).median_us);
            vs_floor = s;
            if (const char *m = libmodbus_of(c.name)) {
                std::snprintf(s, sizeof s, "%.2f", f.median_us / t.figures.at(m).median_us);
                vs_modbus = s;
            }
        }
        std::printf("%-34s %7.1fus %7.1fus %6.1fus %10s %11s  %s\n", c.label, f.median_us,
                    f.p99_us, f.spread_us, vs_floor.c_str(), vs_modbus.c_str(),
                    syscalls_text(counts, c.name).c_str());
    }
}

double cpu_per_wait(const SilentRun &r)
{
    return r.cpu_ms / r.wall_ms;
}

void print_silent(const std::vector<SilentRun> &runs, int cpu)
{
    std::vector<double> wall, used, share;
    for (const SilentRun &r : runs) {
        wall.push_back(r.wall_ms);
        used.push_back(r.cpu_ms);
        share.push_back(cpu_per_wait(r));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("\nconnect to a silent module: loopback listener with a full accept queue, "
                "%d ms deadline, %zu runs (client cpu %d)\n",
                silent_deadline_ms, runs.size(), cpu);
    std::printf("%-34s %9s %9s %9s %9s  %s\n", "connect", "wall", "cpu", "cpu/wait",
                "largest", "result");
    std::string results;
    for (const SilentRun &r : runs) {
        results += results.empty() ? "" : " ";
        results += std::to_string(r.result);
    }
    const bool all_timeouts = std::all_of(runs.begin(), runs.end(), [](const SilentRun &r) {
        return r.result == KIV_ERR_TIMEOUT;
    });
    const double largest = *std::max_element(share.begin(), share.end());
    std::printf("%-34s %7.1fms %7.2fms %8.2f%% %8.2f%%  %s%s\n", "KIV_Connect", median(wall),
                median(used), 100 * median(share), 100 * largest, results.c_str(),
                all_timeouts ? " (KIV_ERR_TIMEOUT)" : " (not all KIV_ERR_TIMEOUT!)");
}

void write_json(const char *path, const std::vector<Table> &tables,
                const std::map<std::string, Counts> &counts, const std::vector<SilentRun> &silent)
{
    FILE *f = std::fopen(path, "w");
    if (f == nullptr) {
        std::perror(path);
        return;
    }
    std::fprintf(f, "{\n  \"tables\": [\n");
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const Table &t = tables[i];
        std::fprintf(f, "    {\"placement\": \"%s\", \"exchanges\": {\n", t.title.c_str());
        const auto cases = all_cases();
        for (std::size_t k = 0; k < cases.size(); ++k) {
            const Case &c = cases[k];
            const Figures &fig = t.figures.at(c.name);
            std::fprintf(f, "      \"%s\": {\"median_us\": %.3f, \"p99_us\": %.3f, \"spread_us\": %.3f",
                         c.name, fig.median_us, fig.p99_us, fig.spread_us);
            if (c.ours) {
                std::fprintf(f, ", \"ours_over_floor\": %.4f",
                             fig.median_us / t.figures.at(floor_of(c.name)).median_us);
                if (const char *m = libmodbus_of(c.name))
                    std::fprintf(f, ", \"ours_over_libmodbus\": %.4f",
                                 fig.median_us / t.figures.at(m).median_us);
            }
            const auto it = counts.find(c.name);
            if (it != counts.end() && it->second.send >= 0)
                std::fprintf(f,
                             ", \"syscalls\": {\"send\": %g, \"wait\": %g, \"receive\": %g, "
                             "\"other\": %g}",
                             it->second.send, it->second.wait, it->second.receive, it->second.other);
            std::fprintf(f, "}%s\n", k + 1 < cases.size() ? "," : "");
        }
        std::fprintf(f, "    }}%s\n", i + 1 < tables.size() ? "," : "");
    }
    std::fprintf(f, "  ],\n  \"silent_connect\": {\"deadline_ms\": %d, \"runs\": [",
                 silent_deadline_ms);
    for (std::size_t i = 0; i < silent.size(); ++i)
        std::fprintf(f, "%s{\"wall_ms\": %.3f, \"cpu_ms\": %.3f, \"cpu_per_wait\": %.5f, "
                     "\"result\": %d}",
                     i ? ", " : "", silent[i].wall_ms, silent[i].cpu_ms, cpu_per_wait(silent[i]),
                     silent[i].result);
    std::fprintf(f, "]}\n}\n");
    std::fclose(f);
}

std::map<std::string, Counts> count_syscalls(const char *self, int modbus_port, int config_port)
{
    std::map<std::string, Counts> counts;
    std::string command = std::string("bash ") + KIV_BENCH_COUNT_SCRIPT + " " + self + " " +
                          address + " " + std::to_string(modbus_port) + " " +
                          std::to_string(config_port) + " 100";
    for (const Case &c : all_cases())
        if (!c.connects)
            command += std::string(" ") + c.name;
    FILE *p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return counts;
    char name[64];
    Counts c;
    while (std::fscanf(p, "%63s %lf %lf %lf %lf", name, &c.send, &c.wait, &c.receive, &c.other) == 5)
        counts[name] = c;
    ::pclose(p);
    return counts;
}

int probe(char **argv)
{
    for (Case c : all_cases()) {
        if (!is(c, argv[0]))
            continue;
        const int n = std::atoi(argv[4]);
        setup(c, std::atoi(argv[2]), std::atoi(argv[3]));
        run(c); // the first exchange's one-time work stays outside the count
        (void)::getppid();
        bool ok = true;
        for (int i = 0; i < n; ++i)
            ok = run(c) && ok;
        (void)::getppid();
        teardown(c);
        return ok ? 0 : 1;
    }
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 7 && std::strcmp(argv[1], "--probe") == 0)
        return probe(argv + 2);
    const char *json = nullptr;
    int n = 4000;
    int repetitions = 5;
    bool syscalls = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json" && i + 1 < argc)
            json = argv[++i];
        else if (a == "--exchanges" && i + 1 < argc)
            n = std::max(1, std::atoi(argv[++i]));
        else if (a == "--repetitions" && i + 1 < argc)
            repetitions = std::max(1, std::atoi(argv[++i]));
        else if (a == "--no-syscalls")
            syscalls = false;
        else {
            std::fprintf(stderr,
                         "usage: kiv-bench [--json FILE] [--exchanges N] [--repetitions R] "
                         "[--no-syscalls]\n");
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);

    cpu_set_t allowed;
    ::sched_getaffinity(0, sizeof allowed, &allowed);
    std::vector<int> cpus;
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(static_cast<unsigned>(i), &allowed))
            cpus.push_back(i);

    std::printf("kiv-bench: %d exchanges x %d repetitions per case after a warm-up; "
                "times per exchange on 127.0.0.1\n", n, repetitions);
    std::vector<Table> tables;
    std::map<std::string, Counts> counts;
    struct Placement {
        const char *title;
        int client, server;
    };
    std::vector<Placement> placements{{"client and server on one core", cpus[0], cpus[0]}};
    if (cpus.size() > 1)
        placements.push_back({"client and server on different cores", cpus[0], cpus[1]});
    for (const Placement &pl : placements) {
        Server modbus;
        zrmtest::SimProcess sim({"--model", "7301"});
        sim.pin_to_cpu(pl.server);
        if (!start_server({KIV_BENCH_SERVER}, pl.server, modbus))
            return 1;
        if (!sim.start()) {
            std::fprintf(stderr, "kiv-bench: %s\n", sim.error().c_str());
            return 1;
        }
        pin_self(pl.client);
        Table t;
        t.title = std::string(pl.title) + " (client cpu " + std::to_string(pl.client) +
                  ", servers cpu " + std::to_string(pl.server) + ")";
        for (Case c : all_cases())
            if (!c.connects)
                t.figures[c.name] = measure(c, modbus.modbus_port, sim.config_port(), n, repetitions);
        // Started only now: it gives up after a while without connections.
        Acceptor acceptor;
        if (!start_acceptor(pl.server, acceptor))
            return 1;
        for (Case c : all_cases())
            if (c.connects)
                t.figures[c.name] = measure_connect(c, acceptor, n, repetitions);
        stop_acceptor(acceptor);
        if (syscalls && counts.empty())
            counts = count_syscalls(argv[0], modbus.modbus_port, sim.config_port());
        tables.push_back(t);
        stop_server(modbus);
        sim.stop();
    }
    // No server takes part here, so one placement is enough.
    pin_self(cpus[0]);
    const std::vector<SilentRun> silent = measure_silent(3);
    for (const Table &t : tables)
        print_table(t, counts);
    print_silent(silent, cpus[0]);
    std::printf("\nspread: largest minus smallest median of the %d repetitions; syscalls: per "
                "exchange, counted with strace by count-syscalls.sh\n", repetitions);
    std::printf("connects: timed from no socket to a connected one, each accepted at once and "
                "then closed with a reset, untimed; cpu: user + system time of the waiting thread "
                "(getrusage)\n");
    if (json != nullptr)
        write_json(json, tables, counts, silent);
    return 0;
}
