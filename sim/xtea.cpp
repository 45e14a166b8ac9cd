#include "xtea.h"

#include <cstdio>

namespace zrmsim {

namespace {

// The key every module and every client shares.
constexpr std::array<std::uint32_t, 4> module_key{0x3C5A7E19u, 0x84D2F06Bu, 0x1E9B47C3u, 0xA65D08F2u};

} // namespace

void xtea_encipher(std::array<std::uint32_t, 2> &v, const std::array<std::uint32_t, 4> &key)
{
    std::uint32_t v0 = v[0], v1 = v[1], sum = 0;
    constexpr std::uint32_t delta = 0x9E3779B9u;
    for (int i = 0; i < 32; ++i) {
        v0 += (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + key[sum & 3u]);
        sum += delta;
        v1 += (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + key[(sum >> 11) & 3u]);
    }
    v[0] = v0;
    v[1] = v1;
}

std::string login_code(std::string_view password)
{
    std::array<unsigned char, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size() && i < password.size(); ++i)
        bytes[i] = static_cast<unsigned char>(password[i]);
    std::array<std::uint32_t, 2> v{};
    for (std::size_t i = 0; i < 8; ++i)
        v[i / 4] = (v[i / 4] << 8) | bytes[i];
    xtea_encipher(v, module_key);
    std::string code;
    char two[3];
    for (std::size_t i = 0; i < 8; ++i) {
        unsigned b = (v[i / 4] >> (24 - 8 * (i % 4))) & 0xFFu;
        std::snprintf(two, sizeof two, "%02x", b);
        code += two;
    }
    return code;
}

} // namespace zrmsim
