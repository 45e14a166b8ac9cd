// The descriptors a configuration needs, and the process's limit raised to
// meet them: a gateway that cannot have them says so at start, with the
// numbers, rather than failing module by module later.
#pragma once

#include "config.h"

#include <cstddef>
#include <string>

namespace gateway {

// One socket per module, the broker's, the HTTP server's clients, the
// loop's own, the settings workers' and the standard streams.
std::size_t descriptors_needed(const Config &c);

// Raises the soft limit of open descriptors to the hard limit. ConfigError
// ("gw.toml: 9000 modules: N descriptors needed, the limit is M ...") when
// that is fewer than what c, from the file at path, needs besides the
// open ones (a reload's, whose removed modules close only after).
void raise_descriptor_limit(const Config &c, const std::string &path, std::size_t open = 0);

} // namespace gateway
