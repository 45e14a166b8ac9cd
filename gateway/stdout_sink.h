// --stdout: each poll's object as one line of JSON Lines on standard output.
#pragma once

#include "sink.h"

#include <mutex>

namespace gateway {

class StdoutSink : public Sink {
public:
    void values(const std::string &module, std::string json) override;
    void module_status(const std::string &module, bool online) override;
    // False once standard output could not be written (a closed pipe).
    bool ok() const;

private:
    mutable std::mutex mu_;
    bool ok_ = true;
};

} // namespace gateway
