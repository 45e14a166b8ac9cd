// The connect procedure and the reply wait, shared by the Modbus exchanges
// and the configuration dialogue.
#pragma once

#include <cstddef>
#include <span>

namespace kiv::net {

// Only the Modbus exchanges print diagnostic lines; the dialogue is silent.
enum class Diagnostics : bool { quiet, print };

// Creates a non-blocking IPv4 TCP socket and connects it, waiting for the
// outcome until it is up, fails, a signal interrupts the wait (EINTR) or
// timeout_ms pass. Writes handle on KIV_OK only; on failure the
// socket is closed. Returns KIV_OK, KIV_ERR_TIMEOUT or an errno value.
int connect_with_deadline(const char *address, int port, int timeout_ms, int &handle);

// Hands the whole frame to one send. Returns KIV_OK, the errno value of a
// failed send, or EAGAIN when the socket took only part of the frame.
int send_request(int handle, std::span<const unsigned char> frame, Diagnostics diag);

// One readiness wait of at most timeout_ms, then exactly one receive of up
// to buf.size() bytes. On KIV_OK, received is 1..buf.size(). Otherwise
// returns KIV_ERR_TIMEOUT, KIV_ERR_DISCONNECTED or an errno value.
int wait_reply(int handle, int timeout_ms, std::span<unsigned char> buf, Diagnostics diag,
               std::size_t &received);

} // namespace kiv::net
