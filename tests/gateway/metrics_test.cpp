// kiv-gateway's Prometheus endpoint end to end: zrm-sim modules with fixed
// values, one that answers too late and one that refuses connections, the
// gateway's /metrics scraped over HTTP on a free loopback port, its text
// checked by promtool; listen addresses that are refused or cannot be bound.
#include "gateway_fixture.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

using namespace gwtest;

namespace {

// "name{labels}" -> the value's text, as the gateway wrote them.
using Samples = std::map<std::string, std::string>;

struct Scrape {
    int status = 0;
    std::string content_type;
    std::string body;
    Samples samples;
};

Samples parse(const std::string &text)
{
    Samples out;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        const auto space = line.rfind(' ');
        out[line.substr(0, space)] = line.substr(space + 1);
    }
    return out;
}

Scrape scrape(int port, const std::string &path = "/metrics")
{
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    Scrape s;
    if (auto res = client.Get(path.c_str())) {
        s.status = res->status;
        s.content_type = res->get_header_value("Content-Type");
        s.body = res->body;
        s.samples = parse(s.body);
    }
    return s;
}

std::string value(const Scrape &s, const std::string &key)
{
    auto it = s.samples.find(key);
    return it == s.samples.end() ? "(none)" : it->second;
}

std::string labels(const std::string &module, const std::string &key = {}, const std::string &v = {})
{
    std::string t = "{module=\"" + module + "\"";
    if (!key.empty())
        t += "," + key + "=\"" + v + "\"";
    return t + "}";
}

double number(const Scrape &s, const std::string &key)
{
    auto it = s.samples.find(key);
    return it == s.samples.end() ? -1 : std::stod(it->second);
}

std::string prometheus_toml(int port)
{
    return "[prometheus]\nlisten = \"127.0.0.1:" + std::to_string(port) + "\"\n";
}

// promtool check metrics on text: its exit status and what it said.
std::pair<int, std::string> promtool(const std::string &text)
{
    char name[] = "/tmp/kiv-metrics-XXXXXX";
    const int fd = ::mkstemp(name);
    ::close(fd);
    std::ofstream(name) << text;
    kivtest::Process p({"/bin/sh", "-c", std::string("exec ") + PROMTOOL_PATH + " check metrics < " + name});
    p.finish(30s);
    std::filesystem::remove(name);
    return {p.status(), p.out() + p.err()};
}

} // namespace

TEST(GatewayMetrics, ScrapeCarriesTheModulesValuesAndResultsAndPassesPromtool)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    ModuleSim ai("127.0.32.1", {"--model", "7301", "--ai", "1=12.50", "--ai", "2=-0.7", "--do", "1"});
    ModuleSim dio("127.0.32.2", {"--model", "7302", "--di", "0x8001", "--do", "0x81"});
    ModuleSim tc("127.0.32.3", {"--model", "7303", "--tc", "1=25.5,24.3", "--tc", "2=-3.25", "--di", "2"});
    // Answers after the gateway's timeout of 100 ms.
    ModuleSim slow("127.0.32.4", {"--model", "7301", "--delay-ms", "300"});
    kivtest::ClosedPort closed;
    ASSERT_TRUE(ai.ready() && dio.ready() && tc.ready() && slow.ready());
    const int port = free_port();
    Gateway gw(gateway_toml("g", &broker) + prometheus_toml(port) + module_toml("ai", 7301, ai) +
               module_toml("dio", 7302, dio) + module_toml("oven", 7303, tc) + module_toml("slow", 7301, slow) +
               "[[module]]\nname = \"dead\"\nmodel = 7302\naddress = \"127.0.0.1\"\nmodbus_port = " +
               std::to_string(closed.port()) + "\ninterval_ms = 100\n");

    Scrape s;
    const bool settled = eventually(
        [&] {
            s = scrape(port);
            for (const char *m : {"ai", "dio", "oven"})
                if (value(s, "kiv_module_up" + labels(m)) != "1")
                    return false;
            // A run of three timeouts closes the slow module's connection.
            return number(s, "kiv_exchanges_total" + labels("slow", "result", "KIV_ERR_TIMEOUT")) >= 4 &&
                   number(s, "kiv_connects_total" + labels("dead", "result", "ECONNREFUSED")) >= 1 &&
                   value(s, "kiv_broker_connected") == "1";
        },
        15s);
    ASSERT_TRUE(settled) << s.body << gw.err();
    EXPECT_EQ(s.status, 200);
    EXPECT_EQ(s.content_type.rfind("text/plain; version=0.0.4", 0), 0u) << s.content_type;

    // The simulators' values, with the module's digits.
    EXPECT_EQ(value(s, "kiv_ai_value" + labels("ai", "channel", "1")), "12.50");
    EXPECT_EQ(value(s, "kiv_ai_value" + labels("ai", "channel", "2")), "-0.7");
    EXPECT_NE(value(s, "kiv_ai_value" + labels("ai", "channel", "8")), "(none)");
    EXPECT_EQ(value(s, "kiv_do_on" + labels("ai", "channel", "1")), "1");
    EXPECT_EQ(value(s, "kiv_di_on" + labels("dio", "channel", "1")), "1");
    EXPECT_EQ(value(s, "kiv_di_on" + labels("dio", "channel", "2")), "0");
    EXPECT_EQ(value(s, "kiv_di_on" + labels("dio", "channel", "16")), "1");
    EXPECT_EQ(value(s, "kiv_do_on" + labels("dio", "channel", "8")), "1");
    EXPECT_EQ(value(s, "kiv_do_on" + labels("dio", "channel", "7")), "0");
    EXPECT_EQ(value(s, "kiv_tc_temperature_celsius" + labels("oven", "channel", "1")), "25.5");
    EXPECT_EQ(value(s, "kiv_tc_reference_celsius" + labels("oven", "channel", "1")), "24.3");
    EXPECT_EQ(value(s, "kiv_tc_temperature_celsius" + labels("oven", "channel", "2")), "-3.25");
    EXPECT_EQ(value(s, "kiv_di_on" + labels("oven", "channel", "2")), "1");
    EXPECT_EQ(value(s, "kiv_di_on" + labels("oven", "channel", "3")), "(none)");

    // Good modules: exchanges OK, timed, one connection, a recent good poll.
    EXPECT_GE(number(s, "kiv_exchanges_total" + labels("oven", "result", "OK")), 3);
    EXPECT_EQ(value(s, "kiv_reconnects_total" + labels("oven")), "0");
    EXPECT_EQ(value(s, "kiv_connects_total" + labels("oven", "result", "OK")), "1");
    EXPECT_GE(number(s, "kiv_exchange_duration_seconds_count" + labels("oven")),
              number(s, "kiv_exchanges_total" + labels("oven", "result", "OK")));
    EXPECT_EQ(number(s, "kiv_exchange_duration_seconds_bucket" + labels("oven", "le", "+Inf")),
              number(s, "kiv_exchange_duration_seconds_count" + labels("oven")));
    EXPECT_GE(number(s, "kiv_polls_total" + labels("dio", "outcome", "ok")), 1);
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(number(s, "kiv_last_good_poll_timestamp_seconds" + labels("ai")), now, 30);

    // The slow module: down, its timeouts by name, a fresh connection after
    // a run of them; its exchanges took at least the timeout.
    EXPECT_EQ(value(s, "kiv_module_up" + labels("slow")), "0");
    EXPECT_EQ(value(s, "kiv_ai_value" + labels("slow", "channel", "1")), "(none)");
    EXPECT_GE(number(s, "kiv_reconnects_total" + labels("slow")), 1);
    EXPECT_EQ(value(s, "kiv_exchange_duration_seconds_bucket" + labels("slow", "le", "0.05")), "0");
    EXPECT_GE(number(s, "kiv_polls_total" + labels("slow", "outcome", "failed")), 2);
    // The dead one: refused connects, no exchange, no good poll.
    EXPECT_EQ(value(s, "kiv_module_up" + labels("dead")), "0");
    EXPECT_EQ(value(s, "kiv_exchange_duration_seconds_count" + labels("dead")), "0");
    EXPECT_EQ(value(s, "kiv_last_good_poll_timestamp_seconds" + labels("dead")), "(none)");

    auto [status, said] = promtool(s.body);
    EXPECT_EQ(status, 0) << said << s.body;
    EXPECT_EQ(said, "");
    EXPECT_EQ(scrape(port, "/").status, 404);

    // The broker gone: the gateway says so, and goes on polling.
    broker.stop();
    EXPECT_TRUE(eventually([&] { return value(scrape(port), "kiv_broker_connected") == "0"; }, 10s));
    const double polls = number(scrape(port), "kiv_polls_total" + labels("ai", "outcome", "ok"));
    EXPECT_TRUE(eventually(
        [&] { return number(scrape(port), "kiv_polls_total" + labels("ai", "outcome", "ok")) > polls; }, 5s));

    EXPECT_EQ(gw.stop(), 0) << gw.err();
    EXPECT_FALSE(listening("127.0.0.1", port));
}

TEST(GatewayMetrics, WithoutBrokerThereIsNoBrokerState)
{
    ModuleSim sim("127.0.32.11", {"--model", "7303"});
    const int port = free_port();
    Gateway gw(gateway_toml("g", nullptr) + prometheus_toml(port) + module_toml("m", 7303, sim), {"--stdout"});
    Scrape s;
    ASSERT_TRUE(eventually(
        [&] {
            s = scrape(port);
            return value(s, "kiv_module_up" + labels("m")) == "1";
        },
        10s))
        << s.body << gw.err();
    EXPECT_EQ(s.body.find("kiv_broker_connected"), std::string::npos) << s.body;
    EXPECT_EQ(gw.stop(), 0);
}

TEST(GatewayMetrics, BadListenIsRefusedWithLineAndReason)
{
    kivtest::Listener module;
    const std::string head = "[gateway]\nid = \"g\"\n[prometheus]\n";
    const std::string good_module = "[[module]]\nname = \"m\"\nmodel = 7303\naddress = \"127.0.0.1\"\n"
                                    "modbus_port = " + std::to_string(module.port()) + "\n";
    struct Case {
        std::string listen;
        std::string message;
    };
    const Case cases[] = {
        {"listen = \"127.0.0.1:99999\"", ":4: [prometheus]: listen port must be 1..65535, not 99999"},
        {"listen = \"127.0.0.1:0\"", ":4: [prometheus]: listen port must be 1..65535, not 0"},
        {"listen = \"127.0.0.1\"", ":4: [prometheus]: listen must be ADDRESS:PORT"},
        {"listen = \"localhost:9502\"", ":4: [prometheus]: listen must be ADDRESS:PORT"},
        {"listen = \"::1:9502\"", ":4: [prometheus]: listen must be ADDRESS:PORT"},
        {"listen = \"127.0.0.1:95x2\"", ":4: [prometheus]: listen must be ADDRESS:PORT"},
        {"listen = 9502", ":4: [prometheus]: listen must be a string"},
        {"lisen = \"127.0.0.1:9502\"", ":4: [prometheus]: unknown key \"lisen\""},
    };
    for (const Case &c : cases) {
        Gateway gw(head + c.listen + "\n" + good_module, {"--stdout"});
        ASSERT_TRUE(gw.process().finish(10s));
        EXPECT_EQ(gw.process().status(), 2) << c.listen;
        EXPECT_NE(gw.err().find(c.message), std::string::npos) << gw.err() << "\nexpected: " << c.message;
        EXPECT_NE(gw.err().find("gateway.toml"), std::string::npos) << gw.err();
    }
    // Without listen the default, loopback; IPv6 in brackets.
    Gateway loopback(head + good_module, {"--check", "--stdout"});
    ASSERT_TRUE(loopback.process().finish(10s));
    EXPECT_EQ(loopback.process().status(), 0) << loopback.err();
    EXPECT_NE(loopback.process().out().find("metrics at http://127.0.0.1:9502/metrics"), std::string::npos)
        << loopback.process().out();
    Gateway v6(head + "listen = \"[::1]:9602\"\n" + good_module, {"--check", "--stdout"});
    ASSERT_TRUE(v6.process().finish(10s));
    EXPECT_NE(v6.process().out().find("metrics at http://[::1]:9602/metrics"), std::string::npos)
        << v6.process().out() << v6.err();
    EXPECT_FALSE(module.connected());
}

TEST(GatewayMetrics, ListenAddressTakenEndsTheStartBeforeAnyPoll)
{
    // A port that something else listens on (without SO_REUSEPORT).
    kivtest::Listener taken;
    kivtest::Listener module;
    Gateway gw("[gateway]\nid = \"g\"\n" + prometheus_toml(taken.port()) +
                   "[[module]]\nname = \"m\"\nmodel = 7303\naddress = \"127.0.0.1\"\nmodbus_port = " +
                   std::to_string(module.port()) + "\n",
               {"--stdout"});
    ASSERT_TRUE(gw.process().finish(10s));
    EXPECT_EQ(gw.process().status(), 1);
    const std::string expected = "[prometheus] cannot listen on 127.0.0.1:" + std::to_string(taken.port()) +
                                 ": Address already in use";
    EXPECT_NE(gw.err().find(expected), std::string::npos) << gw.err();
    EXPECT_FALSE(module.connected());
}

// A broker that is connected but reads nothing holds the gateway to
// queue_limit: the rest is dropped, and every value is either delivered
// once the broker is back or counted as dropped. Before that, many times
// the client's window of values go through with nothing dropped.
TEST(GatewayMetrics, StoppedBrokerHoldsQueueLimitAndEveryValueIsDeliveredOrCounted)
{
    for (const char *qos : {"1", "0"}) {
        SCOPED_TRACE(std::string("qos ") + qos);
        Broker broker;
        ASSERT_TRUE(broker.start());
        ModuleSim sim("127.0.32.21", {"--model", "7301"});
        ASSERT_TRUE(sim.ready());
        Subscriber sub(broker.port(), {"kiv/q/m/values"});
        ASSERT_TRUE(sub.connected());
        const int port = free_port();
        Gateway gw(gateway_toml("q", &broker) + "queue_limit = 20\nkeepalive_s = 600\nqos = " + qos + "\n" +
                   prometheus_toml(port) + module_toml("m", 7301, sim, 20));
        ASSERT_TRUE(sub.wait_for([](auto &m) { return m.size() >= 80; }, 10s)) << gw.err();
        const std::string dropped_full = "kiv_values_dropped_total{reason=\"queue_full\"}";
        const std::string lost = "kiv_values_dropped_total{reason=\"disconnected\"}";
        EXPECT_EQ(value(scrape(port), dropped_full), "0");

        broker.signal(SIGSTOP);
        std::this_thread::sleep_for(1500ms);
        // No more polls: from here the figures settle.
        sim.stop();
        broker.signal(SIGCONT);
        const std::string ok = "kiv_polls_total" + labels("m", "outcome", "ok");
        double polled = 0, dropped = 0, received = 0;
        EXPECT_TRUE(eventually([&] {
            const Scrape s = scrape(port);
            polled = number(s, ok);
            dropped = number(s, dropped_full) + number(s, lost);
            received = static_cast<double>(sub.on("kiv/q/m/values").size());
            // At QoS 0 what was written waits in the broker's socket, and
            // what goes past the window of 20 is dropped: some or none.
            return (*qos == '0' || dropped > 0) && received + dropped == polled;
        }, 15s)) << "polled " << polled << ", received " << received << ", dropped " << dropped << "\n" << gw.err();
        if (*qos == '1') {
            EXPECT_NE(gw.err().find("the oldest go past queue_limit 20"), std::string::npos) << gw.err();
        }
        // Lost with the connection is at most what the client held then.
        const double lost_before = number(scrape(port), lost);
        broker.stop();
        EXPECT_TRUE(eventually([&] { return value(scrape(port), "kiv_broker_connected") == "0"; }, 10s));
        EXPECT_LE(number(scrape(port), lost) - lost_before, 20);
        EXPECT_EQ(gw.stop(), 0);
    }
}
