// What the web console shows, kept as the pipeline hands it over: per
// module its status and since when, the last good poll's image, the good
// and failed polls of the last minute, the last settings report, the last
// errors and a ten-minute trend of its AI and TC channels, one point a
// second. An output like the others, on the loop's thread; the console's
// HTTP thread renders the JSON under the same mutex.
//
// Memory per module, bounded: the trend ring, 600 points of 8 bytes of
// time and 4 per AI/TC channel (7301, 8 AI: 24 000 bytes; 7303, 3 TC:
// 12 000; 7302: none), and about 1.5 KiB besides (60 one-second poll
// counts, 20 errors, the last image, names), plus the last settings
// report's JSON (a few hundred bytes): about 25 KiB for a 7301 at most.
#pragma once

#include "config.h"
#include "http_server.h"
#include "pipeline.h"
#include "process_image.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gateway {

class WebState final : public Output {
public:
    static constexpr std::size_t trend_points = 600;
    static constexpr std::size_t error_count = 20;
    static constexpr std::chrono::seconds command_wait{5};

    // broker: -1 without a broker, else whether it is connected; read at
    // each rendering (any thread).
    WebState(const Config &c, std::function<int()> broker);
    ~WebState() override;

    void poll(const PollResult &r) override;
    void status(const StatusChange &s) override;
    void command_result(const CommandResult &c) override;
    void settings(const SettingsReport &s) override;
    void modules_changed(const ModulesChanged &m) override;
    void flush() override;

    // On the loop's thread: the command was posted; done gets the 200 or
    // 502 response when its result comes, or a 502 after command_wait.
    void expect(const OutputCommand &c, HttpServer::Complete done);

    // GET /api/modules
    std::string modules_json() const;
    // GET /api/module/<name>; nothing for no such module.
    std::optional<std::string> module_json(const std::string &name) const;
    bool has_module(const std::string &name) const;

    // Where an event stream's client is: what it has been sent.
    struct Cursor {
        std::string module;      // with ?module=, else empty
        std::uint64_t seen = 0;  // the version it has; 0: nothing yet
        std::int64_t trend_t = 0;  // the trend point it has
    };
    // The events for what changed since cursor, or empty; moves it on.
    std::string events(Cursor &cursor) const;

    // Test hook and measure: bytes a module's state takes, as the header says.
    static std::size_t module_bytes(const ModuleConfig &m);

private:
    struct Module;
    struct Pending {
        OutputCommand command;
        std::chrono::steady_clock::time_point by;
        HttpServer::Complete done;
    };

    Module *find(const std::string &name) const;
    std::string gateway_json(std::int64_t now_ms) const;  // under mu_

    const std::string id_;
    const bool has_token_;
    std::function<int()> broker_;
    mutable std::mutex mu_;
    std::vector<std::unique_ptr<Module>> modules_;  // by slot; null for a vacant one
    std::uint64_t version_ = 1;
    std::array<std::pair<std::int64_t, std::uint32_t>, 6> rate_{};  // polls by second
    std::vector<Pending> pending_;  // the loop's thread only
};

} // namespace gateway
