// Modbus/TCP on one connection: libmodbus reads each request from the client
// and builds its answer. The answer is built into a socket pair first, so
// that it can be logged byte for byte and held back by --delay-ms before it
// goes to the client.
#include "descriptors.h"
#include "log.h"
#include "services.h"

#include <modbus/modbus.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zrmsim {

namespace {

struct Context {
    modbus_t *ctx = nullptr;
    int pair[2] = {-1, -1};

    Context()
    {
        // The address is never used: the context works on sockets we set.
        ctx = modbus_new_tcp("127.0.0.1", 502);
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            pair[0] = pair[1] = -1;
            return;
        }
        // libmodbus only sends on the pair, it never waits on it.
        for (int &fd : pair)
            fd = move_above_select_limit(fd);
    }
    ~Context()
    {
        if (ctx != nullptr) {
            modbus_set_socket(ctx, -1);
            modbus_free(ctx);
        }
        for (int fd : pair)
            if (fd >= 0)
                ::close(fd);
    }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;

    bool ok() const { return ctx != nullptr && pair[0] >= 0; }
};

bool send_all(int fd, const std::uint8_t *p, std::size_t n)
{
    while (n > 0) {
        ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

// libmodbus frames a request by its function code; the MBAP header says
// how long the frame really is. Whatever a request of an unknown function
// carries past what libmodbus took is dropped here, so that it is not read
// as the start of the next request.
bool skip_rest_of_frame(int fd, const std::uint8_t *req, int taken)
{
    int announced = 6 + ((req[4] << 8) | req[5]);
    if (announced > MODBUS_TCP_MAX_ADU_LENGTH)
        return false;
    std::uint8_t sink[MODBUS_TCP_MAX_ADU_LENGTH];
    for (int left = announced - taken; left > 0;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1)
            return false;
        ssize_t n = ::recv(fd, sink, static_cast<std::size_t>(left), 0);
        if (n <= 0)
            return false;
        left -= static_cast<int>(n);
    }
    return true;
}

} // namespace

void serve_modbus(Simulator &sim, Server &server, Connection &c)
{
    const Options &o = sim.options();
    if (o.close_after && *o.close_after == 0)
        return;
    Context m;
    if (!m.ok()) {
        log_line(c.peer + ": cannot set up libmodbus: " + std::strerror(errno));
        return;
    }
    // A request split over segments is waited for this long between bytes.
    modbus_set_byte_timeout(m.ctx, 1, 0);
    std::uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
    std::uint8_t rsp[MODBUS_TCP_MAX_ADU_LENGTH + 16];
    long answered = 0;
    for (;;) {
        if (!server.await_request(c))
            return;
        modbus_set_socket(m.ctx, c.fd);
        int n = modbus_receive(m.ctx, req);
        if (n < 0) {
            if (errno != ECONNRESET)
                vlog(c.peer + ": " + modbus_strerror(errno));
            return;
        }
        if (n == 0)
            continue;
        vlog(c.peer + " <- " + hex_bytes(req, static_cast<std::size_t>(n)));
        if (!skip_rest_of_frame(c.fd, req, n)) {
            vlog(c.peer + ": frame longer than its header allows, or cut short");
            return;
        }

        modbus_set_socket(m.ctx, m.pair[0]);
        if (sim.reply(m.ctx, req, n) < 0) {
            log_line(c.peer + ": no answer built: " + modbus_strerror(errno));
            return;
        }
        ssize_t len = ::recv(m.pair[1], rsp, sizeof rsp, MSG_DONTWAIT);
        if (len <= 0)
            return;
        if (o.delay_ms > 0 && (answered + 1) % o.slow_every == 0 && !server.pause(c, o.delay_ms))
            return;
        vlog(c.peer + " -> " + hex_bytes(rsp, static_cast<std::size_t>(len)));
        if (!send_all(c.fd, rsp, static_cast<std::size_t>(len)))
            return;
        ++answered;
        if (o.close_after && answered >= *o.close_after) {
            vlog(c.peer + ": closing after " + std::to_string(answered) + " requests");
            return;
        }
    }
}

} // namespace zrmsim
