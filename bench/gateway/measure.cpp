#include "measure.h"

#include "poll_stats.h"
#include "proc_usage.h"
#include "subscriber.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

namespace gwbench {

namespace {

struct Window {
    double wall_s = 0;
    double cpu_s = 0;
    long peak_rss_kib = 0;
    std::size_t threads = 0;
    double busiest_thread_s = 0;  // where one thread does the work of many
    long long write_bytes = 0;
};

// The threads' CPU over the window; a thread born in it counts from zero.
void thread_figures(const std::map<pid_t, double> &before, const std::map<pid_t, double> &after, Window &w)
{
    w.threads = after.size();
    for (const auto &[tid, s] : after) {
        const auto b = before.find(tid);
        w.busiest_thread_s = std::max(w.busiest_thread_s, s - (b == before.end() ? 0.0 : b->second));
    }
}

struct Tally {
    std::uint64_t values = 0;
    // Values messages of the store's backlog: polled before the window,
    // so in none of the figures of its polls.
    std::uint64_t replayed = 0;
    // A poll (module, run, seq) that arrived again, live or replayed.
    std::uint64_t duplicates = 0;
    std::uint64_t unreadable = 0;
    std::map<int, long> polls_per_model;
    std::map<std::string, std::vector<Poll>> healthy;
    // Per values message of a healthy module: from its "ts" to its receipt
    // here, in microseconds. "ts" is cut to the millisecond, so each is up
    // to 1 ms longer than it was.
    std::vector<std::int64_t> latency_us;
};

// Sorts the values messages by module; the healthy ones all get an entry,
// so that one which sent nothing counts with every poll missed.
Tally tally(const Capture &c, const std::string &root, const std::vector<Module> &modules)
{
    std::map<std::string, const Module *> by_name;
    Tally t;
    std::set<std::string> seen;
    for (const Module &m : modules) {
        by_name[m.name] = &m;
        t.polls_per_model[m.model] += 0;
        if (m.role == Role::healthy)
            t.healthy[m.name];
    }
    const std::string suffix = "/values";
    for (const auto &[topic, payload, received_us] : c.recorded) {
        if (topic.size() <= root.size() + suffix.size() || topic.compare(0, root.size(), root) != 0 ||
            topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string name = topic.substr(root.size(), topic.size() - root.size() - suffix.size());
        const auto j = nlohmann::json::parse(payload, nullptr, false);
        if (!j.is_discarded() && j.contains("seq") &&
            !seen.insert(name + ' ' + (j.contains("run") ? j["run"].dump() : "") + ' ' + j["seq"].dump()).second)
            ++t.duplicates;
        if (payload.find(R"("replayed":true)") != std::string::npos) {
            ++t.replayed;
            continue;
        }
        ++t.values;
        const auto found = by_name.find(name);
        if (found == by_name.end())
            continue;
        t.polls_per_model[found->second->model] += 1;
        if (found->second->role != Role::healthy)
            continue;
        Poll p;
        if (j.is_discarded() || !j.contains("seq") || !j["seq"].is_number_integer() || !j.contains("ts") ||
            !j["ts"].is_string() || !parse_utc_ms(j["ts"].get<std::string>(), p.ts_ms)) {
            ++t.unreadable;
            continue;
        }
        p.seq = j["seq"].get<std::int64_t>();
        t.healthy[name].push_back(p);
        t.latency_us.push_back(received_us - p.ts_ms * 1000);
    }
    return t;
}

void print_status(const Capture &c, const std::string &root, const std::vector<Module> &modules)
{
    const auto gateway = c.status.find(root + "status");
    std::printf("gateway_status=%s\n", gateway == c.status.end() ? "none" : gateway->second.c_str());
    int healthy_online = 0, other_online = 0;
    for (const Module &m : modules) {
        const auto s = c.status.find(root + m.name + "/status");
        if (s != c.status.end() && s->second == "online")
            ++(m.role == Role::healthy ? healthy_online : other_online);
    }
    std::printf("healthy_online=%d\nunhealthy_online=%d\n", healthy_online, other_online);
}

bool dump(const Capture &c, const std::string &path)
{
    std::ofstream out(path);
    for (const auto &r : c.recorded)
        out << r.topic << ' ' << r.payload << '\n';
    return static_cast<bool>(out);
}

// The subscriber's time, in slices, until the window is over or the
// caller's file says it is.
bool record(Subscriber &sub, const MeasureSetup &setup, double t0, std::string &message)
{
    for (;;) {
        const double left = t0 + setup.window_s - monotonic_seconds();
        if (left <= 0 || (!setup.until_path.empty() && ::access(setup.until_path.c_str(), F_OK) == 0))
            return true;
        if (!sub.run_for(std::min(left, 0.5), true, message))
            return false;
    }
}

} // namespace

bool measure(const MeasureSetup &setup, const std::vector<Module> &modules, std::string &message)
{
    const std::string root = "kiv/" + setup.gateway_id + "/";
    Subscriber sub;
    if (!sub.start(setup.host, setup.port, root + "#", 5.0, message) ||
        !sub.run_for(setup.settle_s, false, message))
        return false;

    Window w;
    const auto threads0 = thread_cpu_seconds(setup.gateway_pid);
    const double cpu0 = process_cpu_seconds(setup.gateway_pid);
    const long long written0 = write_bytes(setup.gateway_pid);
    const double t0 = monotonic_seconds();
    if (cpu0 < 0 || written0 < 0) {
        message = "the gateway is not running, or its /proc/PID/io is unreadable";
        return false;
    }
    if (!record(sub, setup, t0, message))
        return false;
    w.wall_s = monotonic_seconds() - t0;
    const double cpu1 = process_cpu_seconds(setup.gateway_pid);
    w.write_bytes = write_bytes(setup.gateway_pid) - written0;
    thread_figures(threads0, thread_cpu_seconds(setup.gateway_pid), w);
    w.peak_rss_kib = peak_rss_kib(setup.gateway_pid);
    if (cpu1 < 0 || w.peak_rss_kib < 0) {
        message = "the gateway ended during the window";
        return false;
    }
    w.cpu_s = cpu1 - cpu0;

    if (!setup.dump_path.empty() && !dump(sub.capture, setup.dump_path)) {
        message = "cannot write " + setup.dump_path;
        return false;
    }
    const Tally t = tally(sub.capture, root, modules);
    const PollFigures f = judge_polls(t.healthy, setup.interval_ms, w.wall_s);
    std::printf("window_s=%.3f\n", w.wall_s);
    std::printf("gateway_cpu_s=%.3f\n", w.cpu_s);
    std::printf("gateway_cpu_pct=%.2f\n", 100.0 * w.cpu_s / w.wall_s);
    std::printf("gateway_threads=%zu\n", w.threads);
    std::printf("gateway_busiest_thread_pct=%.2f\n", 100.0 * w.busiest_thread_s / w.wall_s);
    std::printf("gateway_peak_rss_kib=%ld\n", w.peak_rss_kib);
    std::printf("gateway_write_bytes=%lld\n", w.write_bytes);
    std::printf("gateway_write_bytes_per_s=%.0f\n", static_cast<double>(w.write_bytes) / w.wall_s);
    std::printf("values=%llu\n", static_cast<unsigned long long>(t.values));
    std::printf("polls_per_s=%.1f\n", static_cast<double>(t.values) / w.wall_s);
    std::printf("replayed=%llu\n", static_cast<unsigned long long>(t.replayed));
    std::printf("duplicates=%llu\n", static_cast<unsigned long long>(t.duplicates));
    std::printf("delivered=%llu\n", static_cast<unsigned long long>(sub.capture.delivered));
    std::printf("unreadable=%llu\n", static_cast<unsigned long long>(t.unreadable));
    std::printf("jitter_samples=%zu\n", f.jitter_ms.size());
    std::printf("jitter_p50_ms=%lld\n", static_cast<long long>(percentile(f.jitter_ms, 50)));
    std::printf("jitter_p99_ms=%lld\n", static_cast<long long>(percentile(f.jitter_ms, 99)));
    std::printf("jitter_max_ms=%lld\n", static_cast<long long>(percentile(f.jitter_ms, 100)));
    std::printf("latency_samples=%zu\n", t.latency_us.size());
    const auto latency_ms = [&t](double p) { return static_cast<double>(percentile(t.latency_us, p)) / 1000.0; };
    std::printf("latency_p50_ms=%.1f\n", latency_ms(50));
    std::printf("latency_p99_ms=%.1f\n", latency_ms(99));
    std::printf("latency_max_ms=%.1f\n", latency_ms(100));
    std::printf("healthy_missed=%lld\n", static_cast<long long>(f.missed));
    std::printf("healthy_seq_gaps=%lld\n", static_cast<long long>(f.seq_gaps));
    std::printf("healthy_seq_restarts=%lld\n", static_cast<long long>(f.seq_restarts));
    for (const auto &[model, polls] : t.polls_per_model)
        std::printf("polls_%d=%ld\n", model, polls);
    print_status(sub.capture, root, modules);
    return true;
}

} // namespace gwbench
