// The floor: what the exchanges of the gateway's polls cost when nothing but
// the library makes them, back to back from one thread.
#pragma once

#include "module_list.h"

#include <map>
#include <string>
#include <vector>

namespace gwbench {

struct FloorResult {
    long exchanges = 0;
    long failed = 0;
    double cpu_seconds = 0;   // of this process, over the exchanges alone
    double wall_seconds = 0;
};

// Makes polls_per_model[model] polls of each model, each the model's
// exchanges through the KIV_ZRM_73xx calls, turn about over the healthy
// modules of that model, on connections opened beforehand, one per healthy
// module (the soft descriptor limit is raised to the hard one if need be).
bool run_floor(const std::vector<Module> &modules, const std::map<int, long> &polls_per_model,
               FloorResult &out, std::string &message);

} // namespace gwbench
