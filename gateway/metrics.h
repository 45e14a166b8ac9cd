// What the gateway tells Prometheus: each module's last good values, its
// polls, exchanges and connects with their results, how long the exchanges
// took, and the broker connection. An output of the pipeline like the
// others (it takes the polls) and the engine's exchange observer; a scrape
// renders the text (metrics_text.cpp) on the HTTP server's thread. Each
// module's figures have a mutex of their own that only the loop and a
// scrape take, and recording allocates nothing once a module has been
// polled (a result code seen for the first time excepted).
#pragma once

#include "config.h"
#include "pipeline.h"
#include "process_image.h"
#include "store.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gateway {

// One module's figures at one moment.
struct ModuleFigures {
    // Upper bounds of the exchange duration buckets, in seconds: a reply on
    // a LAN takes a millisecond or two, a timeout up to a second or more.
    static constexpr std::array<double, 10> bounds{0.001, 0.0025, 0.005, 0.01, 0.025,
                                                   0.05,  0.1,    0.25,  0.5,  1.0};

    bool up = false;                   // the last poll succeeded
    bool polled_well = false;          // image and last_good are set
    ProcessImage image;                // of the last good poll
    std::uint64_t polls_ok = 0;
    std::uint64_t polls_failed = 0;
    std::uint64_t exchanges_ok = 0;
    std::map<int, std::uint64_t> exchanges_failed;  // by result code
    std::map<int, std::uint64_t> connects;          // by result code, 0 for success
    std::uint64_t reconnects = 0;
    std::array<std::uint64_t, bounds.size()> buckets{};  // not cumulative
    std::uint64_t duration_count = 0;
    std::chrono::nanoseconds duration_sum{0};
};

class ModuleMetrics {
public:
    explicit ModuleMetrics(std::string name) : name_(std::move(name)) {}
    ModuleMetrics(const ModuleMetrics &) = delete;
    ModuleMetrics &operator=(const ModuleMetrics &) = delete;

    const std::string &name() const { return name_; }

    // A connect attempt's result code (0: connected).
    void connect(int code);
    // One exchange on an open connection: its result code and how long it took.
    void exchange(int code, std::chrono::steady_clock::duration took);
    void poll_succeeded(const ProcessImage &p);
    void poll_failed();

    ModuleFigures figures() const;

private:
    const std::string name_;
    mutable std::mutex mu_;
    ModuleFigures f_;
    bool connected_before_ = false;
};

class Metrics final : public Output, public ExchangeObserver {
public:
    explicit Metrics(const std::vector<ModuleConfig> &modules);

    void poll(const PollResult &r) override;
    // A removed module's series go; an added one's start from nothing.
    void modules_changed(const ModulesChanged &m) override;
    void connected(std::size_t module, int code) override { modules_[module]->connect(code); }
    void exchanged(std::size_t module, int code, std::chrono::steady_clock::duration took) override
    {
        modules_[module]->exchange(code, took);
    }

    // In the order of the configuration.
    ModuleMetrics &module(std::size_t i) { return *modules_[i]; }

    // The first call makes kiv_broker_connected appear: without a broker
    // (--stdout) there is no such state to show.
    void broker_connected(bool connected) { broker_.store(connected ? 1 : 0, std::memory_order_relaxed); }
    // -1 without a broker, else 1 while connected.
    int broker_state() const { return broker_.load(std::memory_order_relaxed); }
    // The first call makes the store's families appear.
    void store(const StoreFigures &f)
    {
        std::lock_guard lock(dropped_mu_);
        store_ = f;
    }
    void values_dropped(DropReason why, std::uint64_t n)
    {
        std::lock_guard lock(dropped_mu_);
        dropped_[static_cast<std::size_t>(why)] += n;
    }

    // The text exposition format, version 0.0.4.
    std::string render() const;

private:
    // Null for a vacant slot. Changed on the loop's thread under table_mu_,
    // which a scrape holds while it copies the figures.
    std::vector<std::unique_ptr<ModuleMetrics>> modules_;
    mutable std::mutex table_mu_;
    std::atomic<int> broker_{-1};  // -1: no broker
    // Under a mutex: 32-bit ARM has no 64-bit atomics of its own.
    mutable std::mutex dropped_mu_;
    std::array<std::uint64_t, drop_reasons> dropped_{};
    std::optional<StoreFigures> store_;
};

} // namespace gateway
