// The module's state shared by both services: its settings, the saved copy
// that a reboot brings back, and the Modbus register map. Every member is
// safe to call from any connection thread.
#pragma once

#include "model.h"
#include "options.h"
#include "settings.h"

#include <modbus/modbus.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zrmsim {

class Simulator {
public:
    explicit Simulator(const Options &o);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Reads the state file and sets up the map; false with error if it cannot.
    bool init(std::string &error);

    const Options &options() const { return opts_; }
    const ModelInfo &model() const { return model_; }

    std::optional<std::int32_t> get(std::string_view key);
    // On ok, stored is the value as the module now holds it.
    SetResult set(std::string_view key, std::string_view value, std::int32_t &stored);
    // The current settings become the saved ones, in the state file too; if
    // the file cannot be written they do not, and error says why.
    bool save(std::string &error);
    // A restart: saved settings, outputs at their power-on value.
    void reboot();

    // Answers one Modbus request on ctx with the inputs as they are now, or
    // with the --exception code when one is set.
    int reply(modbus_t *ctx, const std::uint8_t *req, int length);

private:
    void apply_power_on();

    const Options &opts_;
    const ModelInfo &model_;
    std::mutex mu_;
    Settings settings_;
    Settings saved_;
    modbus_mapping_t *map_ = nullptr;
    std::chrono::steady_clock::time_point start_;
};

} // namespace zrmsim
