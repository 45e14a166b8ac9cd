#include "exchange.h"

namespace gateway {

namespace {

std::vector<bool> bits(std::span<const unsigned char> data, int count)
{
    std::vector<bool> out(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = (static_cast<unsigned>(data[i / 8]) >> (i % 8)) & 1u;
    return out;
}

} // namespace

Request poll_request(const kiv::poll_read &r)
{
    return {static_cast<kiv::mb::Function>(r.function), r.start, r.quantity, r.bytes, false};
}

// Output n is coil n-1 on every model.
Request write_output(int channel, bool on)
{
    return {kiv::mb::Function::write_single_coil, channel - 1, 1, 0, on};
}

Request read_output(int channel)
{
    return {kiv::mb::Function::read_coils, channel - 1, 1, 1, false};
}

std::size_t build_request(const Request &r, std::span<unsigned char> frame, std::uint16_t transaction)
{
    if (r.function == kiv::mb::Function::write_single_coil)
        return kiv::mb::build_write_single(frame, r.start, r.on ? 1 : 0, transaction);
    return kiv::mb::build_read_request(frame, r.function, r.start, r.quantity, transaction);
}

kiv::mb::Judged judge_reply(const Request &r, std::span<const unsigned char> frame)
{
    if (r.function == kiv::mb::Function::write_single_coil)
        return kiv::mb::judge_write_reply(frame);
    kiv::mb::Judged j = kiv::mb::judge_read_reply(frame, r.function);
    // Never a shorter or longer image than the model has.
    if (j.code == KIV_OK && (j.data.size() != r.bytes || frame[kiv::mb::off_reply_count] != r.bytes))
        return {};
    return j;
}

void store(ProcessImage &p, kiv::poll_data what, std::span<const unsigned char> data, const kiv::model_info &m)
{
    switch (what) {
    case kiv::poll_data::ai_records:
        p.ai = kiv::decode_ai_records(data);
        break;
    case kiv::poll_data::tc_records:
        p.tc = kiv::decode_tc_records(data);
        break;
    case kiv::poll_data::inputs:
        p.di = bits(data, m.di);
        break;
    case kiv::poll_data::outputs:
        p.outputs = bits(data, m.outputs);
        break;
    case kiv::poll_data::sensors:
        p.sensors.clear();
        for (std::size_t at = 0; at + 1 < data.size(); at += 2)
            p.sensors.push_back(kiv::mb::get_u16(data, at));
        break;
    }
}

} // namespace gateway
