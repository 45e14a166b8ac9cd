#include "metrics_server.h"

#include "metrics.h"

namespace gateway {

MetricsServer::MetricsServer(const Metrics &metrics) : metrics_(metrics)
{
    server_.get("/metrics", [this] {
        return HttpServer::Response{200, "text/plain; version=0.0.4; charset=utf-8", metrics_.render()};
    });
}

MetricsServer::~MetricsServer()
{
    stop();
}

void MetricsServer::start(const PrometheusConfig &c)
{
    if (auto started = server_.start(c.host, c.port); !started)
        throw ConfigError(cannot_listen("[prometheus]", c.listen(), started), ConfigError::Refused::start);
}

void MetricsServer::stop()
{
    server_.stop();
}

} // namespace gateway
