// The npm package sparkplug-payload as the tests' independent Sparkplug B
// peer: many payloads in one node run, which starts slowly under load.
// scripts/common.sh (ensure_node_packages) installs it in build/npm.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace kivtest {

// The package's decodePayload of each payload, one object per payload:
// timestamp, seq, metrics (name, alias, timestamp, type, value, isNull,
// isHistorical, properties {"key": {"type", "value"}}); 64-bit integers
// beyond 2^53 as decimal text; {"error": ...} for one it cannot decode.
// Throws std::runtime_error, saying what is missing, without node or the
// package.
std::vector<nlohmann::json> sparkplug_decode(const std::vector<std::string> &payloads);

// The package's encodePayload of each object ({"timestamp", "seq",
// "metrics": [{"name", "alias", "type": "Boolean", "value"}]}): what a host
// would publish.
std::vector<std::string> sparkplug_encode(const std::vector<nlohmann::json> &payloads);

} // namespace kivtest
