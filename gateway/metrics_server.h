// The Prometheus endpoint: GET /metrics, the registry rendered afresh for
// each scrape, served by the gateway's own HTTP server from a thread of its
// own, so that a scrape never touches a poller's thread.
#pragma once

#include "config.h"
#include "http_server.h"

#include <string>

namespace gateway {

class Metrics;

class MetricsServer {
public:
    explicit MetricsServer(const Metrics &metrics);
    ~MetricsServer();
    MetricsServer(const MetricsServer &) = delete;
    MetricsServer &operator=(const MetricsServer &) = delete;

    // Binds the address and starts serving; ConfigError when it cannot be
    // bound (taken, or not one of this host's).
    void start(const PrometheusConfig &c);
    void stop();
    // Its server, for other routes on the same address; before start.
    HttpServer &server() { return server_; }

private:
    const Metrics &metrics_;
    HttpServer server_;
};

} // namespace gateway
