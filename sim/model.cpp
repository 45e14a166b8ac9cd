#include "model.h"

namespace zrmsim {

namespace {

constexpr ModelInfo infos[] = {
    {Model::zrm7301, "7301", 1, 0, 8, 0, 0, 256, 8 * ai_record_registers},
    {Model::zrm7302, "7302", 8, 16, 0, 0, 24, 0, 24},
    {Model::zrm7303, "7303", 1, 2, 0, 3, 0, 512, 3 * tc_record_registers},
};

} // namespace

const ModelInfo &model_info(Model m)
{
    for (const auto &i : infos)
        if (i.model == m)
            return i;
    return infos[0];
}

std::optional<Model> model_from_name(std::string_view name)
{
    for (const auto &i : infos)
        if (name == i.name)
            return i.model;
    return std::nullopt;
}

} // namespace zrmsim
