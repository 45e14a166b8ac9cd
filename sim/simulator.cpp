#include "simulator.h"

#include "registers.h"
#include "state_file.h"

namespace zrmsim {

namespace {

// Functions of the module's map; registers hold inputs and are read-only.
bool served_function(std::uint8_t f)
{
    return f == MODBUS_FC_READ_COILS || f == MODBUS_FC_READ_DISCRETE_INPUTS ||
           f == MODBUS_FC_READ_HOLDING_REGISTERS || f == MODBUS_FC_WRITE_SINGLE_COIL ||
           f == MODBUS_FC_WRITE_MULTIPLE_COILS;
}

} // namespace

Simulator::Simulator(const Options &o)
    : opts_(o), model_(model_info(o.model)), start_(std::chrono::steady_clock::now())
{
}

Simulator::~Simulator()
{
    if (map_ != nullptr)
        modbus_mapping_free(map_);
}

bool Simulator::init(std::string &error)
{
    if (!opts_.state_file.empty()) {
        bool found = false;
        if (!load_state(opts_.state_file, opts_.model, settings_, found, error))
            return false;
    }
    // Start values on the command line win over saved ones for this run.
    if (opts_.povp)
        settings_.u8_povp = *opts_.povp;
    if (opts_.ai_en)
        settings_.ai_en = *opts_.ai_en;
    if (opts_.tc_en)
        settings_.tc_en = *opts_.tc_en;
    for (int ch = 0; ch < 8; ++ch)
        if (const auto &code = opts_.range[static_cast<std::size_t>(ch)])
            set_range_code(settings_, ch, *code);
    saved_ = settings_;

    map_ = new_model_mapping(model_);
    if (map_ == nullptr) {
        error = "cannot allocate the register map";
        return false;
    }
    if (opts_.do_mask)
        set_outputs(map_, model_, *opts_.do_mask);
    else
        apply_power_on();
    return true;
}

std::optional<std::int32_t> Simulator::get(std::string_view key)
{
    std::lock_guard lock(mu_);
    return get_setting(settings_, opts_.model, key);
}

SetResult Simulator::set(std::string_view key, std::string_view value, std::int32_t &stored)
{
    std::lock_guard lock(mu_);
    SetResult r = set_setting(settings_, opts_.model, key, value);
    if (r == SetResult::ok)
        stored = *get_setting(settings_, opts_.model, key);
    return r;
}

bool Simulator::save(std::string &error)
{
    std::lock_guard lock(mu_);
    // Settings that did not reach the file are not saved ones: the reboot
    // brings back what was saved before, as a module whose flash write failed
    // would.
    if (!opts_.state_file.empty() && !save_state(opts_.state_file, opts_.model, settings_, error))
        return false;
    saved_ = settings_;
    return true;
}

void Simulator::reboot()
{
    std::lock_guard lock(mu_);
    settings_ = saved_;
    apply_power_on();
}

void Simulator::apply_power_on()
{
    set_outputs(map_, model_, static_cast<unsigned>(settings_.u8_povp));
}

int Simulator::reply(modbus_t *ctx, const std::uint8_t *req, int length)
{
    const int function = req[modbus_get_header_length(ctx)];
    std::lock_guard lock(mu_);
    if (opts_.exception)
        return modbus_reply_exception(ctx, req, static_cast<unsigned>(*opts_.exception));
    if (!served_function(static_cast<std::uint8_t>(function)))
        return modbus_reply_exception(ctx, req, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    double t = opts_.wall_clock
                   ? wall_clock_seconds()
                   : std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    fill_inputs(map_, model_, settings_, opts_.fixed, live_time(opts_.module_index, t));
    return modbus_reply(ctx, req, length, map_);
}

} // namespace zrmsim
