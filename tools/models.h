// The three models as the tool knows them: their names and channel counts,
// from kiv.hpp's table.
#pragma once

#include <string>
#include <string_view>

namespace kivtool {

enum class Model { zrm7301 = 7301, zrm7302 = 7302, zrm7303 = 7303 };

struct ModelInfo {
    Model model;
    const char *name; // "ZRM-7301"
    int ai;           // analog inputs
    int tc;           // thermocouple inputs
    int di;           // digital inputs
    int outputs;      // digital outputs
    bool sensors;     // the sensor block
};

const ModelInfo &info(Model m);
// "7301", "ZRM-7301" or "zrm7301", in any case.
bool parse_model(std::string_view text, Model &out);

} // namespace kivtool
