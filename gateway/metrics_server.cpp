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

bool MetricsServer::start(const PrometheusConfig &c, std::string &error)
{
    std::string why;
    if (server_.start(c.host, c.port, why))
        return true;
    // In steps: GCC 12 misjudges a literal plus a temporary when optimising.
    error = "[prometheus] cannot listen on ";
    error += c.listen();
    error += ": ";
    error += why;
    return false;
}

void MetricsServer::stop()
{
    server_.stop();
}

} // namespace gateway
