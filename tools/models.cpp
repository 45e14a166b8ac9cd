#include "models.h"

#include "kiv.hpp"

#include <array>

namespace kivtool {

namespace {

constexpr std::array<ModelInfo, 3> models{{
    {Model::zrm7301, "ZRM-7301", kiv::zrm7301::ai_channels, 0, 0, kiv::zrm7301::do_channels, false},
    {Model::zrm7302, "ZRM-7302", 0, 0, kiv::zrm7302::di_channels, kiv::zrm7302::do_channels, true},
    {Model::zrm7303, "ZRM-7303", 0, kiv::zrm7303::tc_channels, kiv::zrm7303::di_channels,
     kiv::zrm7303::do_channels, false},
}};

} // namespace

const ModelInfo &info(Model m)
{
    for (const ModelInfo &i : models)
        if (i.model == m)
            return i;
    return models[0];
}

bool parse_model(std::string_view text, Model &out)
{
    std::string t;
    for (char c : text)
        if (c != '-' && c != '_')
            t += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (t.rfind("ZRM", 0) == 0)
        t.erase(0, 3);
    for (const ModelInfo &i : models) {
        if (t == std::to_string(static_cast<int>(i.model))) {
            out = i.model;
            return true;
        }
    }
    return false;
}

} // namespace kivtool
