#include "reload.h"

#include "log.h"

#include <algorithm>
#include <map>

namespace gateway {

ReloadPlan plan_reload(const Config &running, const Config &next)
{
    ReloadPlan p{running.modules, {}, {}, {}, {}};
    std::map<std::string, const ModuleConfig *> wanted;
    for (const ModuleConfig &m : next.modules)
        wanted[m.name] = &m;

    for (std::size_t i = 0; i < p.modules.size(); ++i) {
        ModuleConfig &slot = p.modules[i];
        if (slot.vacant())
            continue;
        const auto w = wanted.find(slot.name);
        if (w == wanted.end()) {
            slot = ModuleConfig{};
            p.removed.push_back(i);
            continue;
        }
        if (!(*w->second == slot)) {
            slot = *w->second;
            p.changed.push_back(i);
        }
        wanted.erase(w);
    }
    // In the file's order, into the first vacant slots.
    std::size_t free = 0;
    for (const ModuleConfig &m : next.modules) {
        if (!wanted.count(m.name))
            continue;
        while (free < p.modules.size() && !p.modules[free].vacant())
            ++free;
        if (free == p.modules.size())
            p.modules.push_back(m);
        else
            p.modules[free] = m;
        p.added.push_back(free);
    }
    std::sort(p.added.begin(), p.added.end());

    if (running.id != next.id)
        p.kept.push_back("[gateway] id");
    if (running.mqtt != next.mqtt)
        p.kept.push_back("[mqtt]");
    if (running.prometheus != next.prometheus)
        p.kept.push_back("[prometheus]");
    if (running.web != next.web)
        p.kept.push_back("[web]");
    if (running.store != next.store)
        p.kept.push_back("[store]");
    if (running.sparkplug != next.sparkplug)
        p.kept.push_back("[sparkplug]");
    return p;
}

namespace {

std::string list(const char *what, const std::vector<std::size_t> &slots, const std::vector<ModuleConfig> &names)
{
    std::string s = std::to_string(slots.size()) + " " + what;
    for (std::size_t i = 0; i < slots.size(); ++i)
        s += (i == 0 ? " (" : ", ") + names[slots[i]].name + (i + 1 == slots.size() ? ")" : "");
    return s;
}

} // namespace

std::string describe(const ReloadPlan &p, const std::vector<ModuleConfig> &before)
{
    return list("added", p.added, p.modules) + ", " + list("removed", p.removed, before) + ", " +
           list("changed", p.changed, p.modules);
}

std::optional<Config> reread(const std::function<Config()> &read)
{
    try {
        return read();
    } catch (const ConfigError &e) {
        log(Level::error, std::string("reload refused, the running configuration stays: ") + e.what());
        return std::nullopt;
    }
}

} // namespace gateway
