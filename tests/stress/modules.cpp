#include "modules.h"

#include "kiv.h"

namespace kivstress {
namespace {

void put16(Bytes &b, unsigned v)
{
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v & 0xFF));
}

} // namespace

Module make_module(Model model, int k, const std::string &address,
                   std::vector<std::string> extra)
{
    Module m{model, nullptr, {}, {}, static_cast<unsigned char>(0x11 * (k + 1) + 3 * static_cast<int>(model))};
    std::vector<std::string> args{"--address", address, "--povp", std::to_string(m.povp)};
    switch (model) {
    case Model::zrm7301: {
        // Channel c of module k: (k+1)*100 + c . (10k + c), negative on even
        // channels; every other channel of module 1 disabled.
        const unsigned enable = k % 2 == 0 ? 0xFFu : 0x55u;
        args.insert(args.end(), {"--model", "7301", "--ai-en", std::to_string(enable)});
        for (unsigned c = 1; c <= 8; ++c) {
            const unsigned integer = static_cast<unsigned>(k + 1) * 100 + c;
            const unsigned fraction = 10 * static_cast<unsigned>(k) + c;
            const bool negative = c % 2 == 0;
            args.emplace_back("--ai");
            args.push_back(std::to_string(c) + "=" + (negative ? "-" : "") +
                           std::to_string(integer) + "." + std::to_string(fraction));
            m.records.push_back(static_cast<unsigned char>((enable >> (c - 1)) & 1u));
            m.records.push_back(negative ? 1 : 0);
            put16(m.records, integer);
            put16(m.records, fraction);
        }
        break;
    }
    case Model::zrm7302: {
        const unsigned di = 0x1234u + 0x1111u * static_cast<unsigned>(k);
        args.insert(args.end(), {"--model", "7302", "--di", std::to_string(di)});
        for (unsigned reg = 0; reg < 24; ++reg) {
            const unsigned value = 40000 + 1000 * static_cast<unsigned>(k) + 7 * reg;
            args.emplace_back("--sensor");
            args.push_back(std::to_string(reg) + "=" + std::to_string(value));
            put16(m.records, value);
        }
        m.inputs = {static_cast<unsigned char>(di & 0xFF), static_cast<unsigned char>(di >> 8)};
        break;
    }
    case Model::zrm7303: {
        args.insert(args.end(), {"--model", "7303"});
        for (unsigned c = 1; c <= 3; ++c) {
            const unsigned integer = 200 + 10 * static_cast<unsigned>(k) + c;
            const unsigned fraction = c + 4;
            const unsigned ref_int = 20 + c, ref_frac = static_cast<unsigned>(k) + 1;
            const unsigned faults = c == 2 ? 0x05u : 0u;
            args.emplace_back("--tc");
            args.push_back(std::to_string(c) + "=" + std::to_string(integer) + "." +
                           std::to_string(fraction) + "," + std::to_string(ref_int) + "." +
                           std::to_string(ref_frac) + "," + std::to_string(faults));
            m.records.push_back(1);
            m.records.push_back(0);
            put16(m.records, integer);
            put16(m.records, fraction);
            m.records.push_back(static_cast<unsigned char>(ref_int));
            m.records.push_back(static_cast<unsigned char>(ref_frac));
            m.records.push_back(0);
            m.records.push_back(static_cast<unsigned char>(faults));
        }
        break;
    }
    }
    args.insert(args.end(), extra.begin(), extra.end());
    m.sim = std::make_unique<SimProcess>(std::move(args));
    return m;
}

int read_records(const Module &m, int handle, int timeout, Bytes &data)
{
    unsigned char buf[64] = {};
    int len = 0;
    int rc = KIV_ERR_PARAM;
    switch (m.model) {
    case Model::zrm7301:
        rc = KIV_ZRM_7301_AI_Read(handle, timeout, 1, 8, buf, sizeof buf, &len);
        break;
    case Model::zrm7302:
        rc = KIV_ZRM_7302_Sensor_Read(handle, timeout, buf, sizeof buf, &len);
        break;
    case Model::zrm7303:
        rc = KIV_ZRM_7303_TC_Read(handle, timeout, 1, 3, buf, sizeof buf, &len);
        break;
    }
    data.assign(buf, buf + (len > 0 ? len : 0));
    return rc;
}

} // namespace kivstress
