#include "process_image.h"

#include "metered_client.h"

namespace gateway {

namespace {

std::vector<bool> bits(unsigned mask, int count)
{
    std::vector<bool> out(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        out[static_cast<std::size_t>(i)] = (mask >> i) & 1u;
    return out;
}

// One read of a model's method on the client's connection.
template <class Model, class Method>
auto read(MeteredClient &c, const Model &m, Method method)
{
    return c.run([&](const kiv::connection &conn) { return (m.*method)(conn); });
}

kiv::result<ProcessImage> read_7301(MeteredClient &c, int timeout_ms)
{
    using M = kiv::zrm7301;
    const M m(timeout_ms);
    auto ai = c.run([&](const kiv::connection &conn) { return m.read_ai(conn); });
    if (!ai)
        return ai.why();
    const auto time = std::chrono::system_clock::now();
    auto out = read(c, m, &M::read_do);
    if (!out)
        return out.why();
    ProcessImage p;
    p.time = time;
    p.ai = std::move(*ai);
    p.outputs = {*out};
    return p;
}

kiv::result<ProcessImage> read_7302(MeteredClient &c, int timeout_ms)
{
    using M = kiv::zrm7302;
    const M m(timeout_ms);
    auto di = c.run([&](const kiv::connection &conn) { return m.read_di(conn); });
    if (!di)
        return di.why();
    const auto time = std::chrono::system_clock::now();
    auto out = c.run([&](const kiv::connection &conn) { return m.read_do(conn); });
    if (!out)
        return out.why();
    auto sensors = read(c, m, &M::read_sensors);
    if (!sensors)
        return sensors.why();
    ProcessImage p;
    p.time = time;
    p.di = bits(*di, M::di_channels);
    p.outputs = bits(*out, M::do_channels);
    p.sensors = std::move(*sensors);
    return p;
}

kiv::result<ProcessImage> read_7303(MeteredClient &c, int timeout_ms)
{
    using M = kiv::zrm7303;
    const M m(timeout_ms);
    auto tc = c.run([&](const kiv::connection &conn) { return m.read_tc(conn); });
    if (!tc)
        return tc.why();
    const auto time = std::chrono::system_clock::now();
    auto di = c.run([&](const kiv::connection &conn) { return m.read_di(conn); });
    if (!di)
        return di.why();
    auto out = read(c, m, &M::read_do);
    if (!out)
        return out.why();
    ProcessImage p;
    p.time = time;
    p.tc = std::move(*tc);
    p.di = bits(*di, M::di_channels);
    p.outputs = {*out};
    return p;
}

} // namespace

kiv::result<ProcessImage> read_process_image(kiv::client &client, int model, int timeout_ms,
                                             ModuleMetrics *metrics)
{
    MeteredClient c(client, metrics);
    kiv::result<ProcessImage> r = kiv::errc::param;
    if (model == 7301)
        r = read_7301(c, timeout_ms);
    else if (model == 7302)
        r = read_7302(c, timeout_ms);
    else if (model == 7303)
        r = read_7303(c, timeout_ms);
    if (r)
        r->model = model;
    return r;
}

int exchanges_per_poll(int model)
{
    return model == 7301 ? 2 : 3;
}

} // namespace gateway
