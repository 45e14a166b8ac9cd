#include "models.h"

#include "kiv.hpp"

#include <array>

namespace kivtool {

namespace {

// The tool's view of kiv.hpp's table of the models.
constexpr ModelInfo from(const kiv::model_info &k)
{
    return {static_cast<Model>(k.number), k.name, k.ai, k.tc, k.di, k.outputs, k.sensors > 0};
}

constexpr std::array<ModelInfo, 3> models{from(kiv::models[0]), from(kiv::models[1]), from(kiv::models[2])};

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
