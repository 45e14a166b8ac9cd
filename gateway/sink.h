// Where the pollers' results go: the MQTT broker, or standard output.
#pragma once

#include <string>

namespace gateway {

class Sink {
public:
    virtual ~Sink() = default;
    // One poll's JSON object (see payload.h).
    virtual void values(const std::string &module, std::string json) = 0;
    // The module started or stopped answering.
    virtual void module_status(const std::string &module, bool online) = 0;
    // The answer to an output command: the state read back after the write,
    // or the result name of the call that failed.
    virtual void output_state(const std::string &, int, bool) {}
    virtual void output_error(const std::string &, int, const std::string &) {}
    // What applying the module's declared settings found, changed and failed.
    virtual void settings_report(const std::string &, std::string) {}
};

} // namespace gateway
