// The configuration service on one connection: a login line first, then
// "G:" and "S:" request lines, each answered on its own, however the lines
// were cut into segments.
#include "log.h"
#include "services.h"
#include "xtea.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

namespace zrmsim {

namespace {

constexpr std::string_view save_line = "S:save=1&reboot=1";
// No request line is anywhere near this long; a client that sends one is
// not speaking this protocol.
constexpr std::size_t max_line = 512;

struct Outcome {
    std::optional<std::string> answer;   // none: the request goes unanswered
    bool close = false;
    bool save = false;
};

class Session {
public:
    explicit Session(Simulator &sim) : sim_(sim)
    {
        const auto &pw = sim.options().password;
        expected_login_ = pw ? "L:" + login_code(*pw) : "L:";
    }

    Outcome handle(std::string_view line)
    {
        if (!logged_in_)
            return login(line);
        if (line == save_line)
            return ignored("save") ? Outcome{} : Outcome{std::nullopt, false, true};
        if (line.size() < 2 || (line[0] != 'G' && line[0] != 'S') || line[1] != ':')
            return error("bad request");
        std::string_view rest = line.substr(2);
        auto eq = rest.find('=');
        if (eq == std::string_view::npos || eq == 0)
            return error("bad request");
        std::string_view key = rest.substr(0, eq), value = rest.substr(eq + 1);
        if (ignored(key))
            return {};
        if (line[0] == 'G') {
            if (!value.empty())
                return error("bad request");
            auto v = sim_.get(key);
            if (!v)
                return error("unknown key");
            return answer(key, *v);
        }
        std::int32_t stored = 0;
        switch (sim_.set(key, value, stored)) {
        case SetResult::ok:
            return answer(key, stored);
        case SetResult::unknown_key:
            return error("unknown key");
        case SetResult::bad_value:
            return error("bad value");
        case SetResult::out_of_range:
            return error("out of range");
        }
        return error("bad request");
    }

private:
    Outcome login(std::string_view line)
    {
        if (line.substr(0, 2) == "L:" && ignored("login"))
            return {};
        if (line == expected_login_) {
            logged_in_ = true;
            return {"A:LoginOK\r\n"};
        }
        return {"A:LoginFail\r\n", true};
    }

    bool ignored(std::string_view key) const
    {
        const auto &keys = sim_.options().config_ignore;
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    }

    static Outcome answer(std::string_view key, std::int32_t v)
    {
        return {"A:" + std::string(key) + "=" + std::to_string(v) + "\r\n"};
    }

    static Outcome error(std::string_view what) { return {"E:" + std::string(what) + "\r\n"}; }

    Simulator &sim_;
    std::string expected_login_;
    bool logged_in_ = false;
};

bool send_all(int fd, std::string_view s)
{
    while (!s.empty()) {
        ssize_t sent = ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        s.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

} // namespace

void serve_config(Simulator &sim, Server &server, Connection &c)
{
    const Options &o = sim.options();
    if (o.close_after && *o.close_after == 0)
        return;
    long replies = 0;
    auto reply = [&](const std::string &text) {
        if (o.delay_ms > 0 && ++replies % o.slow_every == 0 && !server.pause(c, o.delay_ms))
            return false;
        vlog(c.peer + " -> " + escaped(text));
        return send_all(c.fd, text);
    };

    Session session(sim);
    std::string pending;
    long requests = 0;
    char chunk[512];
    for (;;) {
        if (!server.await_request(c))
            return;
        ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find("\r\n")) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 2);
            vlog(c.peer + " <- " + escaped(line + "\r\n"));
            Outcome out = session.handle(line);
            ++requests;
            if (out.save) {
                std::string error;
                bool saved = sim.save(error);
                if (!saved)
                    log_line(c.peer + ": save failed: " + error);
                if (!server.begin_reboot())
                    return;
                // The client hears the answer, then the module goes away.
                reply(saved ? "A:save=1&reboot=1\r\n" : "E:save failed\r\n");
                server.reboot_answered();
                return;
            }
            if (!out.answer)
                vlog(c.peer + ": not answered (--config-ignore)");
            else if (!reply(*out.answer))
                return;
            if (out.close)
                return;
            if (o.close_after && requests >= *o.close_after) {
                vlog(c.peer + ": closing after " + std::to_string(requests) + " requests");
                return;
            }
        }
        if (pending.size() > max_line) {
            reply("E:line too long\r\n");
            return;
        }
    }
}

} // namespace zrmsim
