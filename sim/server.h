// Both listening sockets of a module, one thread per client connection, the
// reboot that follows a save, and the clean end when the process stops.
#pragma once

#include "simulator.h"

#include <atomic>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zrmsim {

// Closes every descriptor above standard error that the parent left open, so
// that the simulator's own descriptors start low: libmodbus waits with
// select(), which cannot take a descriptor at or above FD_SETSIZE.
void close_inherited_descriptors();

enum class Service { modbus, config };

struct Connection {
    int fd = -1;
    Service service = Service::modbus;
    std::string peer;                 // "127.0.0.1:40123", for the log
    std::thread thread;
    std::atomic<bool> done{false};
    bool closing = false;             // guarded by the server's mutex
};

class Server {
public:
    // label starts every log line of this module ("127.0.10.3: " in a
    // plant, empty for a lone module).
    explicit Server(Simulator &sim, std::string label = "");
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Opens both listeners; false with error if either cannot listen.
    bool listen(std::string &error);
    int modbus_port() const { return ports_[0]; }
    int config_port() const { return ports_[1]; }

    // Serves until stop_fd is readable; it is never read here, so that one
    // descriptor stops every module. Returns the exit status.
    int run(int stop_fd);
    // SIGINT and SIGTERM blocked, to be taken by a signalfd; called before
    // any thread starts, so that every thread has them blocked.
    static bool block_signals();

    // For the connection threads.
    // Waits until the client sends something or leaves; false, with a log
    // line, once it has been silent for the idle timeout.
    bool await_request(Connection &c);
    // Waits ms unless the connection is closed meanwhile; false if it was.
    bool pause(Connection &c, int ms);
    // Save and reboot, in the order a client can rely on: begin_reboot
    // returns once new connections are refused, so that the answer sent
    // after it is never followed by a connection that gets through;
    // reboot_answered then closes every connection and starts the reboot.
    bool begin_reboot();
    void reboot_answered();

private:
    enum class Phase { none, requested, refusing, answered, rebooting };

    bool open_listener(int index, std::string &error);
    void close_listeners();
    void accept_one(int index);
    void reap(bool all);
    void close_connections();
    void notify_main();
    void handle_reboot_events();

    // Milliseconds until the next timed event of the main loop, -1 if none.
    int next_timeout();

    Simulator &sim_;
    std::string label_;
    int listeners_[2] = {-1, -1};
    // Out of descriptors: the listener is left alone until this time, and
    // the shortage is logged once until an accept works again.
    std::chrono::steady_clock::time_point accept_paused_until_[2];
    bool short_of_descriptors_[2] = {false, false};
    int descriptor_limit_ = INT_MAX;   // RLIMIT_NOFILE, read once at start
    int ports_[2] = {0, 0};
    int event_fd_ = -1;

    std::mutex mu_;
    std::condition_variable cv_;
    std::list<std::unique_ptr<Connection>> connections_;
    bool stopping_ = false;
    Phase phase_ = Phase::none;
    std::chrono::steady_clock::time_point reboot_end_;
};

} // namespace zrmsim
