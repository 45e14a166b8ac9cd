// Arbitrary answers to the login, with arbitrary passwords. The login makes
// its own connection, so the module here is a TCP listener on 127.0.0.1 and
// a thread that accepts, answers at once (and may hang up), and reads the
// login line. Checked: a known result code, KIV_OK only for exactly
// "A:LoginOK\r\n" (a NUL and anything after it allowed), a login line of
// "L:", 16 lower-case hex digits or none, and CR LF.
//
// Input: mode (bit 0 hang up after the answer, bit 1 no password), the
// 8 password bytes, then the answer.
#include "fuzz_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

using namespace kivfuzz;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The module side. One connection per login; its end is closed with an RST
// so that a long run leaves no TIME_WAIT behind to use up the ports.
class Module {
public:
    Module()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        KIV_FUZZ_CHECK(::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        KIV_FUZZ_CHECK(::listen(listener_, 8) == 0);
        socklen_t len = sizeof a;
        KIV_FUZZ_CHECK(::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) == 0);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
        thread_.detach();
    }

    int port() const { return port_; }

    // Sets the next answer; the login then connects.
    void prepare(Bytes answer, bool hang_up)
    {
        std::lock_guard lock(mu_);
        answer_ = std::move(answer);
        hang_up_ = hang_up;
        line_.clear();
        served_ = false;
    }

    // Waits until the thread has answered and read the login line (bounded),
    // then resets the connection. The line the library sent.
    std::string finish()
    {
        std::unique_lock lock(mu_);
        KIV_FUZZ_CHECK(cv_.wait_for(lock, std::chrono::seconds(15), [this] { return served_; }));
        linger off{1, 0};
        ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        ::close(conn_);
        conn_ = -1;
        return line_;
    }

private:
    void serve()
    {
        // The module's waits are no business of libFuzzer's alarm either.
        const AlarmHeld held;
        for (;;) {
            const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            Bytes answer;
            bool hang_up = false;
            {
                std::lock_guard lock(mu_);
                answer = answer_;
                hang_up = hang_up_;
            }
            if (!answer.empty())
                (void)::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            if (hang_up)
                ::shutdown(c, SHUT_WR);
            // The login line went out before the library began to wait.
            std::string line;
            while (line.find('\n') == std::string::npos && line.size() < 64) {
                pollfd p{c, POLLIN, 0};
                if (::poll(&p, 1, 2000) <= 0)
                    break;
                char buf[64];
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                line.append(buf, static_cast<std::size_t>(n));
            }
            std::lock_guard lock(mu_);
            line_ = line;
            conn_ = c;
            served_ = true;
            cv_.notify_all();
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    Bytes answer_;
    bool hang_up_ = false;
    std::string line_;
    int conn_ = -1;
    bool served_ = false;
};

bool login_line_ok(const std::string &line, bool with_password)
{
    if (!with_password)
        return line == "L:\r\n";
    if (line.size() != 20 || line.compare(0, 2, "L:") != 0 || line.compare(18, 2, "\r\n") != 0)
        return false;
    for (std::size_t i = 2; i < 18; ++i)
        if (!((line[i] >= '0' && line[i] <= '9') || (line[i] >= 'a' && line[i] <= 'f')))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Module module;
    Input in(data, size);
    const std::uint8_t mode = in.u8();
    bool hang_up = mode & 1;
    const bool no_password = mode & 2;
    Bytes password = in.bytes(8);
    password.resize(8, 0);
    if (no_password)
        password[0] = 0;
    // The library encodes all 8 bytes: an exact heap copy shows a read past them.
    Buffer pw(8);
    std::memcpy(pw.data(), password.data(), 8);
    Bytes answer = in.bytes(64);
    // Without an answer the login would wait its whole timeout.
    if (answer.empty())
        hang_up = true;

    module.prepare(answer, hang_up);
    int handle = -1;
    int rc = 0;
    {
        // The module answers at once; the long timeout only keeps a stalled
        // machine from passing for a library fault, and libFuzzer's alarm
        // from ending the wait.
        const AlarmHeld held;
        rc = KIV_Cfg_Login("127.0.0.1", module.port(), 10000,
                           reinterpret_cast<const char *>(pw.data()), &handle);
    }
    const std::string line = module.finish();
    KIV_FUZZ_CHECK(is_result(rc));
    KIV_FUZZ_CHECK(login_line_ok(line, password[0] != 0));

    const std::string text(answer.begin(), answer.end());
    const std::string upto_nul = text.substr(0, std::min<std::size_t>(text.find('\0'), 32));
    const bool accepted = answer.size() >= 11 && upto_nul == "A:LoginOK\r\n";
    if (rc == KIV_OK) {
        KIV_FUZZ_CHECK(accepted);
        KIV_FUZZ_CHECK(handle >= 0);
        KIV_Cfg_Exit(handle);
    } else if (!answer.empty()) {
        if (rc != KIV_ERR_LOGIN || accepted)
            std::fprintf(stderr, "login gave %d for %zu answer bytes (accepted %d)\n", rc,
                         answer.size(), accepted);
        KIV_FUZZ_CHECK(rc == KIV_ERR_LOGIN && !accepted);
    } else {
        KIV_FUZZ_CHECK(rc == KIV_ERR_DISCONNECTED);
    }
    return 0;
}
