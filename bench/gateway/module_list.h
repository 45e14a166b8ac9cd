// The plant as the benchmark laid it out: one line per configured module,
//   NAME MODEL ADDRESS MODBUS_PORT ROLE
// where ROLE is "healthy" (served, answers at once), "dead" (no listener at
// its address) or "slow" (answers after the gateway's timeout).
#pragma once

#include <string>
#include <vector>

namespace gwbench {

enum class Role { healthy, dead, slow };

struct Module {
    std::string name;
    int model = 0;
    std::string address;
    int modbus_port = 0;
    Role role = Role::healthy;
};

// False with a message naming the line when the file cannot be read or a
// line does not fit the layout above.
bool read_module_list(const std::string &path, std::vector<Module> &out, std::string &message);

// Modbus exchanges in one poll of a module of this model, as the gateway
// makes them: 7301 AI and DO; 7302 DI, DO and sensors; 7303 TC, DI and DO.
int exchanges_per_poll(int model);

} // namespace gwbench
