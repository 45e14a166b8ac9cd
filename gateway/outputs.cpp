#include "outputs.h"

#include "channels.h"

namespace gateway {

namespace {

// The single output of a 7301 or 7303.
template <class Model> kiv::result<bool> switch_single(kiv::client &c, int timeout_ms, bool on)
{
    const Model m(timeout_ms);
    auto w = c.run([&](const kiv::connection &conn) { return m.write_do(conn, on); });
    if (!w)
        return w.why();
    return c.run([&](const kiv::connection &conn) { return m.read_do(conn); });
}

} // namespace

kiv::result<bool> switch_output(kiv::client &c, int model, int timeout_ms, int channel, bool on)
{
    if (channel < 1 || channel > channels_of(model).outputs)
        return kiv::errc::param;
    if (model == 7301)
        return switch_single<kiv::zrm7301>(c, timeout_ms, on);
    if (model == 7303)
        return switch_single<kiv::zrm7303>(c, timeout_ms, on);
    const kiv::zrm7302 m(timeout_ms);
    const auto ch = static_cast<std::uint8_t>(channel);
    auto w = c.run([&](const kiv::connection &conn) { return m.write_do(conn, ch, on); });
    if (!w)
        return w.why();
    auto r = c.run([&](const kiv::connection &conn) { return m.read_do(conn, ch, 1); });
    if (!r)
        return r.why();
    return (*r & 1u) != 0;
}

} // namespace gateway
