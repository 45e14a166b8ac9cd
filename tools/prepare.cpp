#include "prepare.h"

namespace kivtool {

namespace {

std::string endpoint(const Options &o, Service s)
{
    return o.address + ":" + std::to_string(s == Service::modbus ? o.modbus_port : o.config_port);
}

} // namespace

Prepared prepare(const Options &o, const Command &c, const std::vector<std::string> &args)
{
    const ModelInfo &m = info(o.model);
    if (!c.available(m))
        return {{}, std::string(c.name) + ": " + m.name + " has no such signals; " + c.name +
                        " is for " + models_of(c)};
    Options with_args = o;
    with_args.args = args;
    Prepared p = c.prepare(with_args, m);
    if (!p.error.empty())
        p.error = std::string(c.name) + ": " + p.error;
    return p;
}

bool open_service(Connections &l, Service s, Outcome &out)
{
    const Options &o = l.options;
    if (s == Service::modbus)
        return l.modbus.connected() || out.check(l, "KIV_Connect", "connect to " + endpoint(o, s), l.modbus.open());
    if (l.config.is_open())
        return true;
    auto c = kiv::config_session::login(o.address, o.config_port, o.connect_timeout_ms, o.password);
    if (!out.check(l, "KIV_Cfg_Login", "log in to " + endpoint(o, s), c))
        return false;
    l.config = std::move(*c);
    return true;
}

} // namespace kivtool
