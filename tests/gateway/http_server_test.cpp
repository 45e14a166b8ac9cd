// The gateway's HTTP server on a loopback port of its own: answers by
// method, path and size of the head as they go over the socket, clients
// that trickle their heads or never read, a stop with clients in every
// state, and addresses that cannot be bound.
#include "http_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <thread>

using namespace std::chrono_literals;
using gateway::HttpServer;
using Clock = std::chrono::steady_clock;

namespace {

// A client socket connected to 127.0.0.1:port; a read waits at most 3 s.
struct Conn {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = false;
    explicit Conn(int port)
    {
        sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        const timeval limit{3, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    }
    ~Conn() { ::close(fd); }
    bool send(const std::string &s) { return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) > 0; }
    // What comes until the server closes (at most 1 MiB).
    std::string read_all()
    {
        std::string out;
        char buf[4096];
        for (ssize_t n = 0; out.size() < (1u << 20) && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            out.append(buf, static_cast<std::size_t>(n));
        return out;
    }
    // Whether the server has closed the connection, waiting up to wait for it.
    bool closed(std::chrono::milliseconds wait = 0ms)
    {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(wait.count()));
        char c = 0;
        const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN);
    }
};

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.get("/metrics", [] { return HttpServer::Response{200, "text/plain; version=0.0.4", "up 1\n"}; });
        // More than the sockets' buffers hold: a client that does not read
        // keeps its response being written.
        server.get("/big", [] { return HttpServer::Response{200, "text/plain", std::string(32u << 20, 'x')}; });
        auto started = server.start("127.0.0.1", 0);
        ASSERT_TRUE(started) << started.error().message();
        port = server.port();
    }

    HttpServer server;
    int port = 0;
};

// A head of exactly size bytes.
std::string padded(std::size_t size)
{
    const std::string line = "GET /metrics HTTP/1.1\r\nX-Pad: ";
    return line + std::string(size - line.size() - 4, 'a') + "\r\n\r\n";
}

} // namespace

TEST_F(HttpServerTest, AnswersByMethodAndPathAndHeadSize)
{
    const std::size_t limit = HttpServer::max_head;
    const std::pair<std::string, std::string> cases[] = {
        {"GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n",
         "200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: 5\r\nConnection: close\r\n\r\nup 1\n"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "200 OK\r\nContent-Type: text/plain; version=0.0.4\r\n"
                                              "Content-Length: 5\r\nConnection: close\r\n\r\n"},
        {"\r\nGET /other HTTP/1.0\n\n", "404 Not Found\r\n"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", "405 Method Not Allowed\r\n"},
        {"GET /metrics\r\n\r\n", "400 Bad Request\r\n"},
        {padded(limit), "200 OK\r\n"},
        {padded(limit + 1), "431 Request Header Fields Too Large\r\n"},
        {padded(4 * limit), "431 Request Header Fields Too Large\r\n"},
    };
    for (const auto &[request, answer] : cases) {
        Conn conn(port);
        ASSERT_TRUE(conn.send(request));
        const std::string r = conn.read_all();
        EXPECT_EQ(r.rfind("HTTP/1.1 " + answer, 0), 0u) << request.substr(0, 40) << "\n" << r;
        EXPECT_EQ(answer.starts_with("405"), r.find("\r\nAllow: GET, HEAD\r\n") != std::string::npos) << r;
    }
}

TEST_F(HttpServerTest, TricklersNeitherBlockOthersNorOutstayTheHeadDeadline)
{
    std::deque<Conn> slow;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(slow.emplace_back(port).send("GET /metrics HTTP/1.1\r\n"));
    const auto start = Clock::now();
    const auto open = Clock::duration::max();
    std::vector<Clock::duration> cut(slow.size(), open);
    for (int round = 0; round < 20 && std::count(cut.begin(), cut.end(), open) > 0; ++round) {
        std::this_thread::sleep_for(300ms);
        for (std::size_t i = 0; i < slow.size(); ++i) {
            if (cut[i] == open && slow[i].closed())
                cut[i] = Clock::now() - start;
            else if (cut[i] == open)
                slow[i].send("X");
        }
        if (round == 1) {
            const auto asked = Clock::now();
            auto res = httplib::Client("127.0.0.1", port).Get("/metrics");
            EXPECT_LT(Clock::now() - asked, 500ms);
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, 200);
            EXPECT_EQ(res->get_header_value("Content-Type") + res->body, "text/plain; version=0.0.4up 1\n");
        }
    }
    for (const auto c : cut)
        EXPECT_TRUE(c >= 1800ms && c <= 3500ms) << std::chrono::duration<double>(c).count() << " s";
}

TEST_F(HttpServerTest, StopsPromptlyWithClientsInEveryState)
{
    Conn trickler(port), silent(port), not_reading(port);
    ASSERT_TRUE(trickler.send("GET /metrics HTTP/1.1\r\nHost: a\r\n"));
    ASSERT_TRUE(not_reading.send("GET /big HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(300ms);
    ASSERT_FALSE(trickler.closed() || silent.closed());

    const auto asked = Clock::now();
    server.stop();
    EXPECT_LT(Clock::now() - asked, 500ms);
    EXPECT_TRUE(trickler.closed(1000ms));
    EXPECT_TRUE(silent.closed(1000ms));
    EXPECT_FALSE(Conn(port).connected);
    server.stop();
}

TEST_F(HttpServerTest, BindFailuresSayWhy)
{
    const std::tuple<std::string, int, std::string> cases[] = {
        {"127.0.0.1", port, "Address already in use"},
        {"192.0.2.1", 0, "Cannot assign requested address"},
        {"localhost", 0, "Name or service not known"},
    };
    for (const auto &[host, p, why] : cases) {
        HttpServer other;
        auto started = other.start(host, p);
        EXPECT_FALSE(started) << host;
        EXPECT_EQ(started.error().message(), why) << host;
    }
}
