// Captures what the library prints on standard output, by descriptor, so
// that printf and puts from any code are caught.
#pragma once

#include <string>

namespace kivtest {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    // Stops capturing and returns everything printed meanwhile.
    std::string take();

private:
    int saved_ = -1;
    int file_ = -1;
};

} // namespace kivtest
