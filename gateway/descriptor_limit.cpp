#include "descriptor_limit.h"

#include "http_server.h"
#include "workers.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace gateway {

namespace {
// The metrics server's clients at once, the workers' configuration
// sessions, the loop's epoll and eventfd, the standard streams and what
// the libraries open (a TLS CA file, the resolver).
constexpr std::size_t fixed_descriptors = HttpServer::max_clients + Workers::gateway_threads + 2 + 3 + 23;
} // namespace

std::size_t descriptors_needed(const Config &c)
{
    return c.modules.size() + 1 + fixed_descriptors;
}

void raise_descriptor_limit(const Config &c, const std::string &path, std::size_t open)
{
    const std::string modules = std::to_string(c.modules.size()) + " modules: ";
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0)
        throw ConfigError(path, modules + "cannot read the descriptor limit: " + std::strerror(errno));
    if (r.rlim_cur < r.rlim_max) {
        rlimit raised = r;
        raised.rlim_cur = r.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            r = raised;
    }
    const std::size_t need = descriptors_needed(c) + open;
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < need)
        throw ConfigError(path, modules + std::to_string(need) + " descriptors needed, the limit is " +
                                    std::to_string(r.rlim_cur) + " (raise it: LimitNOFILE= in the unit, ulimit -n)");
}

} // namespace gateway
