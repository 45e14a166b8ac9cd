// What flows through the gateway, one direction each way: the engine's
// polls, status changes, command results and settings reports go out to
// every output through one fan-out, and each output encodes what it needs;
// output commands come in, parsed and checked once where they enter.
// Everything here is handed over on the engine's loop thread.
#pragma once

#include "config.h"
#include "process_image.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gateway {

// One poll period of one module: its process image, or why there is none.
struct PollResult {
    std::size_t module = 0;  // index in the configuration's modules
    std::uint64_t seq = 0;   // the poll period; a gap is a period that published nothing
    int code = 0;            // 0, or the failed step's result code (kiv.h, errno)
    ProcessImage image;      // when code is 0
};

// The module started or stopped answering; code says why it stopped.
struct StatusChange {
    std::size_t module = 0;
    bool online = false;
    int code = 0;
};

// Switch output channel (1-based) of a module on or off, between two polls.
struct OutputCommand {
    std::size_t module = 0;
    int channel = 0;
    bool on = false;
};

// What came of one: the state read back after the write (code 0), or the
// result code of the step that failed (EBUSY when the module's queue of
// commands was full and nothing was written).
struct CommandResult {
    std::size_t module = 0;
    int channel = 0;
    int code = 0;
    bool on = false;
};

// What applying a module's declared settings found, changed and failed, as
// its JSON report.
struct SettingsReport {
    std::size_t module = 0;
    std::string json;
};

// A reload changed the configuration's module slots (the configuration
// already holds the new ones): an output forgets what it kept of a removed
// module and starts afresh for an added one. A changed module keeps its
// slot and name.
struct ModulesChanged {
    const std::vector<ModuleConfig> &modules;  // the new slots
    const std::vector<ModuleConfig> &before;   // the slots as they were
    const std::vector<std::size_t> &added, &removed, &changed;
};

// Why a message for the broker was not delivered: the bound on what waits
// for it was reached (the oldest go), the connection was lost before the
// client wrote it (QoS 0), or the gateway stopped before the broker took it.
enum class DropReason { queue_full, disconnected, stopped };
inline constexpr std::size_t drop_reasons = 3;
inline const char *drop_reason_name(DropReason r)
{
    constexpr const char *names[drop_reasons] = {"queue_full", "disconnected", "stopped"};
    return names[static_cast<std::size_t>(r)];
}

class Output {
public:
    virtual ~Output() = default;
    virtual void poll(const PollResult &) {}
    virtual void status(const StatusChange &) {}
    virtual void command_result(const CommandResult &) {}
    virtual void settings(const SettingsReport &) {}
    virtual void modules_changed(const ModulesChanged &) {}
    // At the end of each turn of the loop: what was handed over during it
    // can go out together.
    virtual void flush() {}
};

// Hands everything to each of its outputs in turn.
class FanOut final : public Output {
public:
    void add(Output &o) { outputs_.push_back(&o); }

    void poll(const PollResult &r) override { each([&](Output &o) { o.poll(r); }); }
    void status(const StatusChange &s) override { each([&](Output &o) { o.status(s); }); }
    void command_result(const CommandResult &c) override { each([&](Output &o) { o.command_result(c); }); }
    void settings(const SettingsReport &s) override { each([&](Output &o) { o.settings(s); }); }
    void modules_changed(const ModulesChanged &m) override { each([&](Output &o) { o.modules_changed(m); }); }
    void flush() override { each([](Output &o) { o.flush(); }); }

private:
    template <class F> void each(F f)
    {
        for (Output *o : outputs_)
            f(*o);
    }
    std::vector<Output *> outputs_;
};

// Told of each connect attempt and each exchange on a module's connection,
// as they end: the metrics' view of the wire, apart from the polls.
class ExchangeObserver {
public:
    virtual ~ExchangeObserver() = default;
    virtual void connected(std::size_t module, int code) = 0;
    virtual void exchanged(std::size_t module, int code, std::chrono::steady_clock::duration took) = 0;
};

} // namespace gateway
