// Descriptors of a process that serves many modules. libmodbus waits with
// select(), which cannot take a descriptor at or above FD_SETSIZE, so the
// numbers below it are kept for Modbus connections: everything else that a
// plant opens (listeners, event descriptors, socket pairs, configuration
// connections) is moved above them when the limit allows.
#pragma once

namespace zrmsim {

// Raises RLIMIT_NOFILE's soft limit to the hard one.
void raise_descriptor_limit();

// From now on move_above_select_limit moves descriptors.
void keep_low_descriptors_for_modbus();

// fd, or in its place a duplicate at or above FD_SETSIZE (fd is closed)
// when keep_low_descriptors_for_modbus is on and the limit leaves room.
// Never fails: without room fd stays where it is.
int move_above_select_limit(int fd);

} // namespace zrmsim
