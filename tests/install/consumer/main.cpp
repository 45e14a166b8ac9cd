// A C++ user's program: kiv.hpp from the installed headers, over the
// installed library.
#include <kiv.hpp>

#include <cstdio>

int main()
{
    if (KIV_Init() != KIV_OK)
        return 1;
    const unsigned char record[] = {0x01, 0x01, 0x00, 0x0C, 0x00, 0x05};
    auto ai = kiv::decode_ai(record);
    std::error_code ec = kiv::errc::timeout;
    if (!ai || ai->value.text() != "-12.5" || ec.message() != "timeout" ||
        kiv::range_label(9) != "0~10V")
        return 1;
    // Port 0 is no port: the connect fails, and the handle has nothing to close.
    auto c = kiv::connection::open("127.0.0.1", 0, 1000);
    if (c.ok())
        return 1;
    std::printf("consumer linked kiv %s\n", KIV_VERSION_STRING);
    return 0;
}
