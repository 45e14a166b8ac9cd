// kiv.hpp in a program built without exceptions and without RTTI, as
// firmware-like callers build: it must compile, link and work there.
#include "kiv.hpp"

#include <cstdio>

int main()
{
    const unsigned char record[] = {0x01, 0x00, 0x00, 0x19, 0x00, 0x05, 0x18, 0x03, 0x01, 0x01};
    auto tc = kiv::decode_tc(record);
    std::error_code ec = kiv::errc::login;
    kiv::result<int> failed = kiv::errc::timeout;
    bool good = tc && tc->temperature.text() == "25.5" && tc->reference.text() == "-24.3" &&
                tc->open() && ec.message() == "login refused" && !failed &&
                failed.value_or(3) == 3 && kiv::range_from_label("0~5v") == 7;
    std::puts(good ? "kiv.hpp works without exceptions" : "kiv.hpp gave wrong results");
    return good ? 0 : 1;
}
