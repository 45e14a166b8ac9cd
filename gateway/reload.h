// A reload of the configuration file (SIGHUP), as a plan: which module
// slots a new file adds, removes and changes. A module that the new file
// leaves as it was keeps its slot and is not touched; the sections that
// only a start can apply (the gateway's id, the broker, the metrics'
// address) stay as they are, and the plan names them.
#pragma once

#include "config.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace gateway {

struct ReloadPlan {
    // The new slots: the running ones with the removed made vacant and the
    // added put in vacant slots first, then at the end.
    std::vector<ModuleConfig> modules;
    std::vector<std::size_t> added, removed, changed;
    // "[mqtt]", "[prometheus]", "[gateway] id": changed, kept until a restart.
    std::vector<std::string> kept;

    bool empty() const { return added.empty() && removed.empty() && changed.empty(); }
};

// Modules are matched by name.
ReloadPlan plan_reload(const Config &running, const Config &next);

// "2 modules added (a, b), 1 removed (c), 0 changed", for the log.
std::string describe(const ReloadPlan &p, const std::vector<ModuleConfig> &before);

// The configuration that read (the file read again, as the start reads
// it) gives; none when it is refused (ConfigError), which is logged: the
// running configuration stays.
std::optional<Config> reread(const std::function<Config()> &read);

} // namespace gateway
