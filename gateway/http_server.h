// A small HTTP/1.1 server for the gateway's few GET routes: one thread of
// its own that waits in poll() on the listener, a wake-up eventfd and its
// clients, all non-blocking. One request per connection. Each client has
// 2 s from its accept to send the request's head and 2 s more to take the
// response, whatever it trickles meanwhile, so that a slow client can
// neither hold up the others nor the stop.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace gateway {

class HttpServer {
public:
    struct Response {
        int status = 200;
        std::string content_type;
        std::string body;
    };
    using Handler = std::function<Response()>;

    static constexpr std::size_t max_head = 8 * 1024;
    static constexpr std::size_t max_clients = 64;
    static constexpr std::chrono::milliseconds head_time{2000};
    static constexpr std::chrono::milliseconds write_time{2000};

    HttpServer() = default;
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Serves GET and HEAD of path (the query string aside) with handler,
    // called on the server's thread. Before start.
    void get(std::string path, Handler handler);

    // Binds host (an IPv4 or IPv6 address, never a name) and port (0: one
    // the system picks) and starts the thread; false with why in error.
    bool start(const std::string &host, int port, std::string &error);
    // Closes every connection and ends the thread; again does nothing.
    void stop();
    // The port bound, once started.
    int port() const { return port_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        int fd = -1;
        Clock::time_point deadline;
        enum class State { head, writing, draining } state = State::head;
        std::string in;
        std::string out;
        std::size_t sent = 0;
    };

    void run();
    void accept_clients(Clock::time_point now);
    void on_readable(Client &c, Clock::time_point now);
    void send_response(Client &c);
    std::string respond(const std::string &head) const;

    std::map<std::string, Handler> routes_;
    std::vector<Client> clients_;
    Clock::time_point accept_paused_until_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

} // namespace gateway
