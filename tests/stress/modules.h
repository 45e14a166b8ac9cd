// Simulated modules with fixed, distinct values for the stress tests, and
// the bytes that a read of each must return. Two modules never agree on a
// record, so a reply that reached the wrong handle shows.
#pragma once

#include "sim_process.h"

#include <memory>
#include <string>
#include <vector>

namespace kivstress {

using zrmtest::SimProcess;

using Bytes = std::vector<unsigned char>;

enum class Model { zrm7301, zrm7302, zrm7303 };

struct Module {
    Model model;
    std::unique_ptr<SimProcess> sim;
    Bytes records;        // AI records (7301), sensor block (7302), TC records (7303)
    Bytes inputs;         // 7302: the 16 DI channels, packed
    unsigned char povp;   // "u8_povp", read through the configuration service
};

// Module number k (0, 1, ...) of the model, listening on address, with
// values of its own. Not started.
Module make_module(Model model, int k, const std::string &address,
                   std::vector<std::string> extra = {});

// One process-data read of the module's records on handle: the model entry
// point that reads them all. Returns the result; data receives the bytes.
int read_records(const Module &m, int handle, int timeout, Bytes &data);

} // namespace kivstress
