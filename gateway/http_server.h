// A small HTTP/1.1 server for the gateway's few routes: one thread of its
// own that waits in poll() on the listener, a wake-up eventfd and its
// clients, all non-blocking. One request per connection; GET and HEAD, and
// POST with a body of a few bytes. Each client has 2 s from its accept to
// send the request and 2 s more to take the response, whatever it trickles
// meanwhile, so that a slow client can neither hold up the others nor the
// stop. A response may come later, from another thread (a command that
// waits for the module), or be a stream that the server's thread feeds at
// each tick (Server-Sent Events).
#pragma once

#include "kiv.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace gateway {

class HttpServer {
public:
    // Called at each tick of a stream: the bytes to send, or empty.
    using Producer = std::function<std::string()>;

    struct Response {
        Response(int s = 200, std::string type = {}, std::string text = {})
            : status(s), content_type(std::move(type)), body(std::move(text))
        {
        }
        int status = 200;
        std::string content_type;
        std::string body;
        std::string headers;  // extra lines, each ending "\r\n"
        // With a producer: a stream, body its first bytes, kept open.
        Producer stream;
    };
    // Hands a response to a request that was answered later; callable from
    // any thread, once; does nothing once the client or the server is gone.
    using Complete = std::function<void(const Response &)>;

    struct Request {
        std::string method;
        std::string path;   // without the query
        std::string query;  // after '?', or empty
        std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
        std::string body;
        std::string client;  // "127.0.0.1:40312", "[::1]:40312"
        // The header's value, or empty.
        std::string header(const std::string &lower_name) const;
        // Makes the response one that comes later through the function
        // returned; the handler's own return value is then ignored.
        Complete defer() const;

    private:
        friend class HttpServer;
        std::function<Complete()> defer_;
    };

    using Handler = std::function<Response(const Request &)>;

    static constexpr std::size_t max_head = 8 * 1024;
    static constexpr std::size_t max_body = 64;
    static constexpr std::size_t max_clients = 64;
    static constexpr std::size_t max_streams = 16;
    static constexpr std::size_t max_unsent = 1u << 20;
    static constexpr std::chrono::milliseconds head_time{2000};
    static constexpr std::chrono::milliseconds write_time{2000};
    static constexpr std::chrono::milliseconds later_time{6000};
    static constexpr std::chrono::milliseconds keepalive_time{15000};

    HttpServer() = default;
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Serves GET and HEAD of path (the query string aside) with handler,
    // called on the server's thread. Before start.
    void get(std::string path, std::function<Response()> handler);
    // Every method of path, or of every path under it when prefix (the
    // longest prefix wins; an exact path before any prefix). Before start.
    void route(std::string path, Handler handler, bool prefix = false);
    // How often streams are fed (default 500 ms). Before start.
    void set_tick(std::chrono::milliseconds t) { tick_ = t; }

    // Binds host (an IPv4 or IPv6 address, never a name) and port (0: one
    // the system picks) and starts the thread. A failure is the errno of
    // the call that failed, or getaddrinfo's code for what is no address;
    // its message() says why.
    kiv::result<void> start(const std::string &host, int port);
    // Closes every connection and ends the thread; again does nothing.
    void stop();
    // The port bound, once started.
    int port() const { return port_; }
    // Streams open now.
    std::size_t streams() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Route {
        Handler handler;
        bool get_only = false;  // 405 for other methods
    };
    struct Client {
        int fd = -1;
        std::uint64_t id = 0;
        std::string address;
        Clock::time_point deadline;
        enum class State { head, body, later, writing, draining, stream } state = State::head;
        std::string in;
        std::size_t head_size = 0;
        std::size_t body_size = 0;
        std::string out;
        std::size_t sent = 0;
        bool head_only = false;
        Request request;
        const Route *route = nullptr;
        Producer producer;
        Clock::time_point last_sent;
    };
    // What other threads hand in: responses that came later.
    struct Inbox {
        std::mutex mu;
        int wake_fd = -1;  // -1 once the server stopped
        std::vector<std::pair<std::uint64_t, std::string>> done;
    };

    void run();
    void accept_clients(Clock::time_point now);
    void on_readable(Client &c, Clock::time_point now);
    void on_request(Client &c, Clock::time_point now);
    void send_response(Client &c);
    void feed_streams(Clock::time_point now);
    void take_inbox(Clock::time_point now);
    // Parses the head and finds the handler; false with the error sent.
    bool take_head(Client &c, Clock::time_point now);
    const Route *find(const std::string &path) const;
    void start_writing(Client &c, std::string message, Clock::time_point now);
    void close_client(Client &c);

    std::map<std::string, Route> routes_;
    std::map<std::string, Route> prefixes_;
    std::vector<Client> clients_;
    std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    std::uint64_t next_id_ = 1;
    std::chrono::milliseconds tick_{500};
    Clock::time_point next_tick_;
    Clock::time_point accept_paused_until_;
    std::atomic<bool> stopping_{false};
    bool deferred_ = false;  // the handler running now called defer()
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    int port_ = 0;
    mutable std::mutex count_mu_;
    std::size_t streams_ = 0;
    std::thread thread_;
};

// "[web] cannot listen on 127.0.0.1:9503: Address already in use": why
// the start of the server for section failed.
std::string cannot_listen(const std::string &section, const std::string &listen, const kiv::result<void> &failed);

} // namespace gateway
