#include "module_list.h"

#include <fstream>
#include <sstream>

namespace gwbench {

bool read_module_list(const std::string &path, std::vector<Module> &out, std::string &message)
{
    std::ifstream in(path);
    if (!in) {
        message = "cannot read " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        Module m;
        std::string role;
        fields >> m.name >> m.model >> m.address >> m.modbus_port >> role;
        if (!fields || exchanges_per_poll(m.model) == 0 ||
            (role != "healthy" && role != "dead" && role != "slow")) {
            message = path + ", line " + std::to_string(number) + ": not NAME MODEL ADDRESS PORT ROLE";
            return false;
        }
        m.role = role == "healthy" ? Role::healthy : role == "dead" ? Role::dead : Role::slow;
        out.push_back(m);
    }
    return true;
}

int exchanges_per_poll(int model)
{
    switch (model) {
    case 7301:
        return 2;
    case 7302:
    case 7303:
        return 3;
    default:
        return 0;
    }
}

} // namespace gwbench
