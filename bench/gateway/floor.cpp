#include "floor.h"

#include "kiv.h"
#include "proc_usage.h"

#include <sys/resource.h>

#include <cstddef>
#include <ctime>

namespace gwbench {

namespace {

// Generous: a healthy module answers in microseconds, and a stall here
// must count as a failure, not end the run.
constexpr int exchange_timeout_ms = 1000;

double process_cpu_now()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One poll's exchanges; returns how many failed.
int poll_once(int model, int handle)
{
    unsigned char buf[64];
    unsigned char value = 0;
    int len = 0;
    const int t = exchange_timeout_ms;
    switch (model) {
    case 7301:
        return (KIV_ZRM_7301_AI_Read(handle, t, 1, 8, buf, sizeof buf, &len) != KIV_OK) +
               (KIV_ZRM_7301_DO_Read(handle, t, &value) != KIV_OK);
    case 7302:
        return (KIV_ZRM_7302_DI_Read(handle, t, 1, 16, buf, sizeof buf, &len) != KIV_OK) +
               (KIV_ZRM_7302_DO_Read(handle, t, 1, 8, &value) != KIV_OK) +
               (KIV_ZRM_7302_Sensor_Read(handle, t, buf, sizeof buf, &len) != KIV_OK);
    default:
        return (KIV_ZRM_7303_TC_Read(handle, t, 1, 3, buf, sizeof buf, &len) != KIV_OK) +
               (KIV_ZRM_7303_DI_Read(handle, t, 1, 2, buf, sizeof buf, &len) != KIV_OK) +
               (KIV_ZRM_7303_DO_Read(handle, t, &value) != KIV_OK);
    }
}

// Descriptors beside the connections: standard streams, the library's and
// the C runtime's own.
constexpr std::size_t spare_descriptors = 32;

// Raises the soft descriptor limit to the hard one if connections (one
// descriptor each, all open at once) need more than it; false with a
// message when even the hard limit is short.
bool room_for(std::size_t connections, std::string &message)
{
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0)
        return true;
    const rlim_t need = connections + spare_descriptors;
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < need && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
        ::getrlimit(RLIMIT_NOFILE, &r);
    }
    if (r.rlim_cur == RLIM_INFINITY || r.rlim_cur >= need)
        return true;
    message = std::to_string(connections) + " connections need " + std::to_string(need) +
              " descriptors; the limit is " + std::to_string(r.rlim_cur) + " (ulimit -n)";
    return false;
}

struct Link {
    int model;
    int handle;
};

} // namespace

bool run_floor(const std::vector<Module> &modules, const std::map<int, long> &polls_per_model,
               FloorResult &out, std::string &message)
{
    KIV_Init();
    const auto polled = [&polls_per_model](const Module &m) {
        return m.role == Role::healthy && polls_per_model.count(m.model) != 0;
    };
    std::size_t connections = 0;
    for (const Module &m : modules)
        connections += polled(m) ? 1U : 0U;
    if (!room_for(connections, message))
        return false;
    std::map<int, std::vector<Link>> links;
    bool ok = true;
    for (const Module &m : modules) {
        if (!polled(m))
            continue;
        int handle = -1;
        const int rc = KIV_Connect(m.address.c_str(), m.modbus_port, exchange_timeout_ms, &handle);
        if (rc != KIV_OK) {
            message = "cannot connect to " + m.name + " at " + m.address + ":" +
                      std::to_string(m.modbus_port) + " (" + std::to_string(rc) + ")";
            ok = false;
            break;
        }
        links[m.model].push_back({m.model, handle});
    }
    for (const auto &[model, polls] : polls_per_model)
        if (ok && polls > 0 && links[model].empty()) {
            message = "no healthy module of model " + std::to_string(model) + " to poll";
            ok = false;
        }
    if (ok) {
        const double wall0 = monotonic_seconds();
        const double cpu0 = process_cpu_now();
        for (const auto &[model, polls] : polls_per_model) {
            const auto &list = links[model];
            for (long i = 0; i < polls; ++i) {
                const Link &l = list[static_cast<std::size_t>(i) % list.size()];
                out.failed += poll_once(l.model, l.handle);
                out.exchanges += exchanges_per_poll(model);
            }
        }
        out.cpu_seconds = process_cpu_now() - cpu0;
        out.wall_seconds = monotonic_seconds() - wall0;
    }
    for (const auto &[model, list] : links)
        for (const Link &l : list)
            KIV_Close(l.handle);
    return ok;
}

} // namespace gwbench
