// Clients of a running zrm-sim, written from the protocol alone: a line
// client for the configuration service, a raw Modbus/TCP client that sends
// exact frames, and a libmodbus client. All waits are bounded.
#pragma once

#include "sim_process.h"

#include <modbus/modbus.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

// The simulator's process, under the name every test here gives it.
using namespace zrmtest;
using Sim = SimProcess;

using Bytes = std::vector<std::uint8_t>;

// "00 06 ff" -> bytes.
Bytes hex(std::string_view text);
std::string to_hex(const Bytes &b);

// A connected TCP socket to 127.0.0.1:port, or -1 with errno set.
int connect_to(int port, Ms limit = 2s, const char *address = "127.0.0.1");
// Tries to connect until it works or limit passes; true once it did.
bool connect_within(int port, Ms limit, const char *address = "127.0.0.1");

// A socket that the test owns, with bounded reads.
class Conn {
public:
    explicit Conn(int port, const char *address = "127.0.0.1");
    ~Conn();
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send(std::string_view bytes);
    bool send(const Bytes &b) { return send(std::string_view(reinterpret_cast<const char *>(b.data()), b.size())); }
    // Whatever one read delivers within limit (empty: nothing, or closed).
    std::string read_some(Ms limit = 2s);
    // The peer closes the connection within limit, sending nothing first.
    bool closed_by_peer(Ms limit = 2s);
    // Nothing arrives for d.
    bool silent_for(Ms d);

protected:
    // Appends what one read delivers before deadline to pending_; false on
    // nothing in time, a close or an error.
    bool receive_more(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    std::string pending_;
};

// The configuration service, line by line.
class LineConn : public Conn {
public:
    using Conn::Conn;
    // The next CR LF line, CR LF included; nullopt if none came within limit.
    std::optional<std::string> line(Ms limit = 2s);
    // Sends request and gives the next line, or "<no answer>".
    std::string ask(std::string_view request, Ms limit = 2s);
    // Logs in with "L:" + code + CR LF; true on "A:LoginOK\r\n".
    bool login(std::string_view code = "");
};

// Modbus/TCP with exact frames; replies are cut by their MBAP length.
class RawModbus : public Conn {
public:
    using Conn::Conn;
    std::optional<Bytes> frame(Ms limit = 2s);
    Bytes exchange(const Bytes &request, Ms limit = 2s);
};

// A libmodbus client connection; ctx() is nullptr if it could not connect.
class ModbusClient {
public:
    explicit ModbusClient(int port);
    ~ModbusClient();
    ModbusClient(const ModbusClient &) = delete;
    ModbusClient &operator=(const ModbusClient &) = delete;
    modbus_t *ctx() const { return ctx_; }

    // Registers, or the Modbus exception code as a negative number (-2 for
    // an illegal address), or -1000 for any other failure.
    int read_registers(int addr, int n, std::vector<std::uint16_t> &out);
    int read_bits(int addr, int n, std::vector<std::uint8_t> &out);
    int read_input_bits(int addr, int n, std::vector<std::uint8_t> &out);

private:
    modbus_t *ctx_ = nullptr;
};

// The exception code of the last failed libmodbus call, or 0 if it was none.
int exception_of_errno(int err);

} // namespace simtest
