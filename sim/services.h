// The two services, each run on a connection's own thread until the client
// leaves, a fault switch closes the connection, or the server closes it.
#pragma once

#include "server.h"
#include "simulator.h"

namespace zrmsim {

void serve_modbus(Simulator &sim, Server &server, Connection &c);
void serve_config(Simulator &sim, Server &server, Connection &c);

} // namespace zrmsim
