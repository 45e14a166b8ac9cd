#include "clients.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace simtest {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

int nibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

Bytes hex(std::string_view text)
{
    Bytes b;
    int high = -1;
    for (char c : text) {
        int v = nibble(c);
        if (v < 0)
            continue;
        if (high < 0) {
            high = v;
        } else {
            b.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return b;
}

std::string to_hex(const Bytes &b)
{
    static constexpr char d[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i != 0)
            s += ' ';
        s += d[b[i] >> 4];
        s += d[b[i] & 0xF];
    }
    return s;
}

int connect_to(int port, Ms limit, const char *address)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            int e = errno;
            ::close(fd);
            errno = e;
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int err = ETIMEDOUT;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, static_cast<int>(limit.count())) == 1)
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            ::close(fd);
            errno = err;
            return -1;
        }
    }
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool connect_within(int port, Ms limit, const char *address)
{
    auto deadline = Clock::now() + limit;
    do {
        int fd = connect_to(port, 1s, address);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        ::poll(nullptr, 0, 20);
    } while (Clock::now() < deadline);
    return false;
}

Conn::Conn(int port, const char *address) : fd_(connect_to(port, 2s, address)) {}

Conn::~Conn()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Conn::send(std::string_view bytes)
{
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string Conn::read_some(Ms limit)
{
    if (!pending_.empty())
        return std::exchange(pending_, {});
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, static_cast<int>(limit.count())) != 1)
        return {};
    char buf[1024];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

bool Conn::closed_by_peer(Ms limit)
{
    if (!pending_.empty())
        return false;
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, static_cast<int>(limit.count())) != 1)
        return false;
    char c;
    ssize_t n = ::recv(fd_, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

bool Conn::silent_for(Ms d)
{
    if (!pending_.empty())
        return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(d.count())) == 0;
}

bool Conn::receive_more(Clock::time_point deadline)
{
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, ms_left(deadline)) != 1)
        return false;
    char buf[512];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    pending_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> LineConn::line(Ms limit)
{
    auto deadline = Clock::now() + limit;
    for (;;) {
        auto end = pending_.find("\r\n");
        if (end != std::string::npos) {
            std::string l = pending_.substr(0, end + 2);
            pending_.erase(0, end + 2);
            return l;
        }
        if (!receive_more(deadline))
            return std::nullopt;
    }
}

std::string LineConn::ask(std::string_view request, Ms limit)
{
    if (!send(request))
        return "<send failed>";
    return line(limit).value_or("<no answer>");
}

bool LineConn::login(std::string_view code)
{
    return ask("L:" + std::string(code) + "\r\n") == "A:LoginOK\r\n";
}

std::optional<Bytes> RawModbus::frame(Ms limit)
{
    auto deadline = Clock::now() + limit;
    for (;;) {
        if (pending_.size() >= 6) {
            std::size_t len = 6u + (std::size_t{static_cast<std::uint8_t>(pending_[4])} << 8) +
                              static_cast<std::uint8_t>(pending_[5]);
            if (pending_.size() >= len) {
                Bytes f(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(len));
                pending_.erase(0, len);
                return f;
            }
        }
        if (!receive_more(deadline))
            return std::nullopt;
    }
}

Bytes RawModbus::exchange(const Bytes &request, Ms limit)
{
    if (!send(request))
        return {};
    return frame(limit).value_or(Bytes{});
}

ModbusClient::ModbusClient(int port)
{
    ctx_ = modbus_new_tcp("127.0.0.1", port);
    if (ctx_ == nullptr)
        return;
    modbus_set_response_timeout(ctx_, 2, 0);
    if (modbus_connect(ctx_) != 0) {
        modbus_free(ctx_);
        ctx_ = nullptr;
    }
}

ModbusClient::~ModbusClient()
{
    if (ctx_ != nullptr) {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
}

int exception_of_errno(int err)
{
    if (err > MODBUS_ENOBASE && err < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX)
        return err - MODBUS_ENOBASE;
    return 0;
}

namespace {

int result(int rc)
{
    if (rc >= 0)
        return rc;
    int e = exception_of_errno(errno);
    return e != 0 ? -e : -1000;
}

} // namespace

int ModbusClient::read_registers(int addr, int n, std::vector<std::uint16_t> &out)
{
    out.assign(static_cast<std::size_t>(n), 0);
    return result(modbus_read_registers(ctx_, addr, n, out.data()));
}

int ModbusClient::read_bits(int addr, int n, std::vector<std::uint8_t> &out)
{
    out.assign(static_cast<std::size_t>(n), 0);
    return result(modbus_read_bits(ctx_, addr, n, out.data()));
}

int ModbusClient::read_input_bits(int addr, int n, std::vector<std::uint8_t> &out)
{
    out.assign(static_cast<std::size_t>(n), 0);
    return result(modbus_read_input_bits(ctx_, addr, n, out.data()));
}

} // namespace simtest
