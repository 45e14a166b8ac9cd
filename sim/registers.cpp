#include "registers.h"

namespace zrmsim {

namespace {

std::uint16_t reg(unsigned high, unsigned low)
{
    return static_cast<std::uint16_t>(((high & 0xFFu) << 8) | (low & 0xFFu));
}

} // namespace

modbus_mapping_t *new_model_mapping(const ModelInfo &m)
{
    return modbus_mapping_new_start_address(0, static_cast<unsigned>(m.coils), 0,
                                            static_cast<unsigned>(m.discrete_inputs),
                                            static_cast<unsigned>(m.holding_start),
                                            static_cast<unsigned>(m.holding_count), 0, 0);
}

void encode_ai(const Reading &r, bool enabled, std::uint16_t out[ai_record_registers])
{
    out[0] = reg(enabled ? 1 : 0, r.negative ? 1 : 0);
    out[1] = r.integer;
    out[2] = r.fraction;
}

void encode_tc(const TcReading &r, bool enabled, std::uint16_t out[tc_record_registers])
{
    // The temperature has its sign first and 16-bit parts; the reference
    // has 8-bit parts and its sign after them, next to the fault flags.
    out[0] = reg(enabled ? 1 : 0, r.temperature.negative ? 1 : 0);
    out[1] = r.temperature.integer;
    out[2] = r.temperature.fraction;
    out[3] = reg(r.reference.integer, r.reference.fraction);
    out[4] = reg(r.reference.negative ? 1 : 0, r.faults);
}

void fill_inputs(modbus_mapping_t *map, const ModelInfo &m, const Settings &s,
                 const FixedValues &fixed, double t)
{
    for (int ch = 0; ch < m.ai_channels; ++ch) {
        const auto &f = fixed.ai[static_cast<std::size_t>(ch)];
        Reading r = f ? *f : live_ai(range_code(s, ch), ch, t);
        encode_ai(r, bit_set(s.ai_en, ch), &map->tab_registers[ch * ai_record_registers]);
    }
    for (int ch = 0; ch < m.tc_channels; ++ch) {
        const auto &f = fixed.tc[static_cast<std::size_t>(ch)];
        TcReading r = f ? *f : live_tc(ch, t);
        encode_tc(r, bit_set(s.tc_en, ch), &map->tab_registers[ch * tc_record_registers]);
    }
    for (int i = 0; i < m.sensor_registers; ++i) {
        const auto &f = fixed.sensor[static_cast<std::size_t>(i)];
        map->tab_registers[i] = f ? *f : live_sensor(i, t);
    }
    unsigned di = fixed.di ? *fixed.di : live_di(m.discrete_inputs, t);
    for (int i = 0; i < m.discrete_inputs; ++i)
        map->tab_input_bits[i] = static_cast<std::uint8_t>((di >> i) & 1u);
}

void set_outputs(modbus_mapping_t *map, const ModelInfo &m, unsigned mask)
{
    for (int i = 0; i < m.coils; ++i)
        map->tab_bits[i] = static_cast<std::uint8_t>((mask >> i) & 1u);
}

unsigned outputs(const modbus_mapping_t *map, const ModelInfo &m)
{
    unsigned mask = 0;
    for (int i = 0; i < m.coils; ++i)
        if (map->tab_bits[i] != 0)
            mask |= 1u << i;
    return mask;
}

} // namespace zrmsim
