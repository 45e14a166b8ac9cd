// The web console against the real gateway and zrm-sim modules with fixed
// values, through raw sockets on loopback: the JSON API's shapes and
// values, the event stream, the output switch and its refusals, the
// bounds on requests and streams, and the listener's start.
#include "gateway_fixture.h"
#include "http_server.h"
#include "reload.h"
#include "web_state.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace gwtest;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// A connection to 127.0.0.1:port that sends one request.
struct Client {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string in;
    Client(int port, const std::string &method, const std::string &path, const std::string &body = {},
           const std::string &headers = {})
    {
        sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
            return;
        const std::string r = method + " " + path + " HTTP/1.1\r\nHost: t\r\n" + headers +
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        [[maybe_unused]] auto n = ::send(fd, r.data(), r.size(), MSG_NOSIGNAL);
    }
    ~Client() { ::close(fd); }
    // Reads until pred holds for what came, the server closes, or limit.
    bool read_until(const std::function<bool(const std::string &)> &pred, Ms limit)
    {
        const auto end = Clock::now() + limit;
        while (!pred(in)) {
            const auto left = std::chrono::duration_cast<Ms>(end - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                return false;
            char buf[8192];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return pred(in);
            in.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    int status() const { return in.size() > 12 ? std::atoi(in.c_str() + 9) : 0; }
    std::string body() const { return in.substr(std::min(in.find("\r\n\r\n") + 4, in.size())); }
};

struct Reply {
    int status;
    std::string head;
    json body;
};

Reply request(int port, const std::string &method, const std::string &path, const std::string &body = {},
              const std::string &headers = {})
{
    Client c(port, method, path, body, headers);
    c.read_until([](const std::string &) { return false; }, 10s);
    return {c.status(), c.in.substr(0, c.in.find("\r\n\r\n")), json::parse(c.body(), nullptr, false)};
}

// The data of the last (or first) event named name in text, or null.
json last_event(const std::string &text, const std::string &name, bool first = false)
{
    const std::string start = "event: " + name + "\ndata: ";
    const auto at = first ? text.find(start) : text.rfind(start);
    if (at == std::string::npos)
        return nullptr;
    const auto from = at + name.size() + 14;
    return json::parse(text.substr(from, text.find('\n', from) - from), nullptr, false);
}

json row(const json &modules, const std::string &name)
{
    for (const json &r : modules)
        if (r.value("name", "") == name)
            return r;
    return nullptr;
}

// Three modules with fixed values, one of them switchable, and a gateway
// with the console and a token; started once for the suite.
class Web : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new std::string(temp_dir());
        {
            std::FILE *f = std::fopen((*dir + "/token").c_str(), "w");
            std::fputs("s3cret\n", f);
            std::fclose(f);
        }
        ai = new ModuleSim("127.0.61.1", {"--model", "7301", "--ai", "1=12.50", "--ai", "2=-3.25", "--ai-en", "0xFD",
                                          "--do", "0"});
        tc = new ModuleSim("127.0.61.2", {"--model", "7303", "--tc", "1=25.5,24.3", "--tc", "2=30.0,25.0,0x01",
                                          "--tc-en", "3", "--di", "1"});
        dio = new ModuleSim("127.0.61.3", {"--model", "7302", "--di", "5", "--sensor", "0=1234"});
        port = free_port();
        const std::string change = "publish = \"change\"\n";
        gw = new Gateway(gateway_toml("line3", nullptr) + "[web]\nlisten = \"127.0.0.1:" + std::to_string(port) +
                             "\"\ntoken_file = \"" + *dir + "/token\"\n" + module_toml("ai", 7301, *ai) + change +
                             "commands = true\n[module.settings]\nai_range = [\"0~10V\", \"0~20mA\"]\n" +
                             module_toml("tc", 7303, *tc) + change + module_toml("dio", 7302, *dio) + change,
                         {"--stdout"});
    }
    static void TearDownTestSuite()
    {
        delete gw;
        delete ai;
        delete tc;
        delete dio;
        delete dir;
    }
    // /api/modules once every module is online and polled.
    static json all_online()
    {
        json got;
        eventually(
            [&] {
                got = request(port, "GET", "/api/modules").body;
                return got.is_object() && got["gateway"]["online"] == 3 && got["modules"][0]["values"].is_object();
            },
            10s);
        return got;
    }

    static inline std::string *dir;
    static inline ModuleSim *ai, *tc, *dio;
    static inline Gateway *gw;
    static inline int port;
};

} // namespace

TEST_F(Web, ApiShowsTheModulesValuesAsTheirOwnDigits)
{
    ASSERT_TRUE(ai->ready() && tc->ready() && dio->ready());
    const json all = all_online();
    ASSERT_EQ(all["gateway"]["online"], 3) << all.dump();
    EXPECT_EQ(all["gateway"]["id"], "line3");
    EXPECT_EQ(all["gateway"]["configured"], 3);
    EXPECT_TRUE(all["gateway"]["broker_connected"].is_null());
    const json a = row(all["modules"], "ai");
    EXPECT_EQ(a["model"], 7301);
    EXPECT_EQ(a["address"], "127.0.61.1:" + std::to_string(ai->modbus_port));
    EXPECT_EQ(a["status"], "online");
    EXPECT_TRUE(a["since"].is_number() && a["last_good"].is_number());
    EXPECT_GT(a["good_share"].get<double>(), 0.5);
    // The values: short form in the row, every channel on the module's route.
    const std::pair<std::string, json> cases[] = {
        {"/ai/0", json{{"v", "12.50"}, {"unit", "V"}, {"q", "good"}}},
        {"/ai/1", json{{"v", nullptr}, {"unit", "mA"}, {"q", "disabled"}}},
        {"/do", json{false}},
    };
    for (const auto &[pointer, want] : cases)
        EXPECT_EQ(a["values"][json::json_pointer(pointer)], want) << pointer << " " << a.dump();
    const json d = row(all["modules"], "dio")["values"];
    EXPECT_EQ(d["di"].size(), 16u);
    EXPECT_EQ(d["di"][0], true);
    EXPECT_EQ(d["di"][1], false);
    EXPECT_EQ(d["sensors"][0], 1234);
    EXPECT_FALSE(d.contains("ai"));

    const Reply t = request(port, "GET", "/api/module/tc");
    ASSERT_EQ(t.status, 200) << t.head;
    const json want_tc = json::array({
        {{"channel", 1}, {"temperature", "25.5"}, {"reference", "24.3"}, {"quality", "good"}, {"faults", json::array()}},
        {{"channel", 2}, {"temperature", nullptr}, {"reference", "25.0"}, {"quality", "fault"}, {"faults", {"open"}}},
        {{"channel", 3}, {"temperature", nullptr}, {"reference", nullptr}, {"quality", "disabled"}, {"faults", json::array()}},
    });
    EXPECT_EQ(t.body["channels"]["tc"], want_tc) << t.body.dump();
    EXPECT_EQ(t.body["writable"], false);
    EXPECT_TRUE(t.body["errors"].is_array());
    EXPECT_EQ(t.body["trend"]["series"]["tc/1"][0], 25.5);
    EXPECT_TRUE(t.body["trend"]["series"]["tc/2"][0].is_null());
    EXPECT_EQ(t.body["trend"]["t"].size(), t.body["trend"]["series"]["tc/3"].size());
    const Reply m = request(port, "GET", "/api/module/ai");
    EXPECT_EQ(m.body["channels"]["ai"][0]["range"], "0~10V");
    EXPECT_EQ(m.body["writable"], true);
    EXPECT_TRUE(m.body["settings"].is_object()) << m.body.dump();

    // The page's files, with the headers that keep it to its own files.
    for (const char *path : {"/", "/module/ai", "/app.js", "/app.css"}) {
        const Reply p = request(port, "GET", path);
        EXPECT_EQ(p.status, 200) << path;
        EXPECT_NE(p.head.find("Content-Security-Policy: default-src 'self'"), std::string::npos) << p.head;
        EXPECT_NE(p.head.find("X-Content-Type-Options: nosniff"), std::string::npos) << p.head;
    }
    for (const char *path : {"/api/module/nope", "/module/nope", "/nope.js"})
        EXPECT_EQ(request(port, "GET", path).status, 404) << path;
}

TEST_F(Web, SwitchNeedsTheTokenAndTheStreamShowsTheOutcome)
{
    all_online();
    Client events(port, "GET", "/api/events?module=ai");
    ASSERT_TRUE(events.read_until([](const std::string &s) { return s.find("event: module\n") != std::string::npos; }, 5s))
        << events.in;
    EXPECT_EQ(events.status(), 200);
    EXPECT_EQ(events.in.find("Content-Length"), std::string::npos) << "a stream ends with its connection";
    EXPECT_EQ(last_event(events.in, "modules", true)["modules"].size(), 3u) << "the first event has every row";

    const std::string good = "Authorization: Bearer s3cret\r\n";
    const struct {
        std::string path, body, headers;
        int status;
        std::string error;
    } cases[] = {
        {"/api/module/ai/do/1", "on", "", 401, "unauthorized"},
        {"/api/module/ai/do/1", "on", "Authorization: Bearer s3creT\r\n", 401, "unauthorized"},
        {"/api/module/ai/do/1", "on", "Authorization: Bearer s3cret2\r\n", 401, "unauthorized"},
        {"/api/module/ai/do/2", "on", good, 400, "module ai has no output 2"},
        {"/api/module/ai/do/1", "maybe", good, 400, "the payload must be on or off"},
        {"/api/module/ai/do/%22", "on", good, 400, "channel \"%22\" is no number"},
        {"/api/module/nope/do/1", "on", good, 404, "no such module"},
        {"/api/module/tc/do/1", "on", good, 403, "commands are off for this module"},
        {"/api/module/ai/do/1", std::string(65, 'x'), good, 413, ""},
    };
    for (const auto &c : cases) {
        const Reply r = request(port, "POST", c.path, c.body, c.headers);
        EXPECT_EQ(r.status, c.status) << c.path << " " << c.headers;
        if (!c.error.empty()) {
            EXPECT_EQ(r.body["error"], c.error);
        }
    }
    EXPECT_EQ(request(port, "GET", "/api/module/ai").body["channels"]["do"][0], false) << "nothing was written";

    const Reply on = request(port, "POST", "/api/module/ai/do/1", "on", good);
    EXPECT_EQ(on.status, 200) << on.head;
    EXPECT_EQ(on.body, (json{{"channel", 1}, {"on", true}}));
    // The stream tells within about a second.
    const auto sent = Clock::now();
    EXPECT_TRUE(events.read_until(
        [](const std::string &s) { return last_event(s, "module")["channels"]["do"][0] == true; }, 1500ms));
    EXPECT_LT(Clock::now() - sent, 1500ms);
    EXPECT_EQ(request(port, "POST", "/api/module/ai/do/1", "off", good).body["on"], false);
    const std::string log = gw->err();
    EXPECT_NE(log.find(": 127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find(" switched ai do/1 on"), std::string::npos) << log;
    EXPECT_NE(log.find(" refused ai do/1 on: unauthorized"), std::string::npos) << log;
}

TEST_F(Web, StreamsAreBoundedAndShowAModuleOffline)
{
    all_online();
    std::vector<std::unique_ptr<Client>> streams;
    for (int i = 0; i < 16; ++i) {
        streams.push_back(std::make_unique<Client>(port, "GET", "/api/events"));
        ASSERT_TRUE(streams.back()->read_until([](const std::string &s) { return s.find("\n\n", s.find("event:")) != std::string::npos; }, 5s));
    }
    EXPECT_EQ(request(port, "GET", "/api/events").status, 503);
    streams.resize(1);

    // Offline within an interval and a second of the module's end (three
    // failed polls of 100 ms, then the next event), with a margin.
    tc->stop();
    const auto stopped = Clock::now();
    EXPECT_TRUE(streams[0]->read_until(
        [](const std::string &s) { return row(last_event(s, "modules")["modules"], "tc")["status"] == "offline"; }, 5s));
    EXPECT_LT(Clock::now() - stopped, 3s);
    EXPECT_FALSE(request(port, "GET", "/api/module/tc").body["errors"].empty());
}

TEST(WebStart, SharedListenerReadOnlyAndTakenPort)
{
    ModuleSim sim("127.0.61.4", {"--model", "7303"});
    ASSERT_TRUE(sim.ready());
    const int port = free_port();
    const std::string at = "listen = \"127.0.0.1:" + std::to_string(port) + "\"\n";
    {
        // One listener for the metrics and the console; no token: read-only.
        Gateway gw(gateway_toml("g", nullptr) + "[prometheus]\n" + at + "[web]\n" + at + module_toml("m", 7303, sim) +
                       "commands = true\n",
                   {"--stdout"});
        ASSERT_TRUE(eventually([&] { return request(port, "GET", "/api/modules").status == 200; }, 10s)) << gw.err();
        EXPECT_EQ(request(port, "GET", "/metrics").status, 200);
        const Reply r = request(port, "POST", "/api/module/m/do/1", "on", "Authorization: Bearer x\r\n");
        EXPECT_EQ(r.status, 403);
        EXPECT_EQ(r.body["error"], "read-only");
        EXPECT_EQ(request(port, "GET", "/api/module/m").body["writable"], false);
        // Taken by the one above.
        Gateway second(gateway_toml("g", nullptr) + "[web]\n" + at + module_toml("m", 7303, sim), {"--stdout"});
        ASSERT_TRUE(second.process().finish(20s));
        EXPECT_EQ(second.process().status(), 1);
        EXPECT_NE(second.err().find("[web] cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos)
            << second.err();
    }
    Gateway missing(gateway_toml("g", nullptr) + "[web]\ntoken_file = \"/nonexistent/token\"\n" +
                        module_toml("m", 7303, sim),
                    {"--check", "--stdout"});
    ASSERT_TRUE(missing.process().finish(20s));
    EXPECT_EQ(missing.process().status(), 2);
    EXPECT_NE(missing.err().find("[web] token_file: "), std::string::npos) << missing.err();
}

// The server's own bounds, in process: an answer that comes later from
// another thread, a stream whose client reads nothing (dropped past its
// bound), the memory a module's state takes, and a reload's plan.
TEST(WebHttp, LaterAnswersAndUnreadStreamsAndModuleMemory)
{
    gateway::HttpServer server;
    server.set_tick(10ms);
    std::thread later;
    server.route("/later", [&](const gateway::HttpServer::Request &r) {
        later = std::thread([done = r.defer(), body = r.body] { done({200, "text/plain", body + "!"}); });
        return gateway::HttpServer::Response{};
    });
    server.route("/flood", [](const gateway::HttpServer::Request &) {
        gateway::HttpServer::Response r{200, "text/event-stream", ": hello\n\n"};
        r.stream = [] { return std::string(256u << 10, 'x'); };
        return r;
    });
    auto started = server.start("127.0.0.1", 0);
    ASSERT_TRUE(started) << started.error().message();
    Client c(server.port(), "POST", "/later", "hi");
    EXPECT_TRUE(c.read_until([](const std::string &s) { return s.ends_with("\r\n\r\nhi!"); }, 5s)) << c.in;
    later.join();

    // Never read: the kernel's buffers fill, then the server's bound.
    Client flood(server.port(), "GET", "/flood");
    const int small = 4096;
    ::setsockopt(flood.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    EXPECT_TRUE(eventually([&] { return server.streams() == 1; }, 5s));
    EXPECT_TRUE(eventually([&] { return server.streams() == 0; }, 10s)) << "dropped past 1 MiB unsent";
    server.stop();

    // A reload keeps the console as it started.
    gateway::Config running, next;
    next.web = gateway::WebConfig{};
    EXPECT_EQ(gateway::plan_reload(running, next).kept, (std::vector<std::string>{"[web]"}));

    for (const auto &[model, most] : {std::pair{7301, 26u << 10}, {7303, 14u << 10}, {7302, 2u << 10}}) {
        gateway::ModuleConfig m;
        m.name = "m";
        m.model = model;
        m.traits = kiv::find_model(model);
        EXPECT_LT(gateway::WebState::module_bytes(m), most) << model;
    }
}
