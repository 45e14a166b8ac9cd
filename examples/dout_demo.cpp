// Reads the eight outputs of a ZRM-7302, writes a pattern to all of them,
// then switches output 2 on by itself.
#include "example_common.h"
#include "kiv.h"

#include <cstdio>

namespace {

constexpr const char *module_address = KIV_MODULE_ADDRESS;
constexpr int modbus_port = 502;
constexpr int connect_timeout_ms = 1000;
constexpr int reply_timeout_ms = 100;
constexpr unsigned char pattern = 0x55; // outputs 1, 3, 5 and 7 on

} // namespace

int main()
{
    std::printf("ZRM-7302 DO Read Write Example.\r\n");
    int handle = -1;
    if (!init_and_connect(module_address, modbus_port, connect_timeout_ms, handle))
        return -1;

    unsigned char outputs = 0;
    int r = KIV_ZRM_7302_DO_Read(handle, reply_timeout_ms, 1, 8, &outputs);
    if (r == KIV_OK)
        std::printf("DO Read Response: 0x%02x\r\n", outputs);
    else
        std::printf("KIV_ZRM_7302_DO_Read Error: %d.\r\n", r);

    outputs = pattern;
    r = KIV_ZRM_7302_DO_Write(handle, reply_timeout_ms, 1, 8, outputs);
    if (r == KIV_OK)
        std::printf("KIV_ZRM_7302_DO_Write %x OK\r\n", outputs);
    else
        std::printf("KIV_ZRM_7302_DO_Write Error: %d.\r\n", r);

    r = KIV_ZRM_7302_DO_Write_bit(handle, reply_timeout_ms, 2, 1);
    if (r == KIV_OK)
        std::printf("KIV_ZRM_7302_DO_Write_bit OK\r\n");
    else
        std::printf("KIV_ZRM_7302_DO_Write_bit Error: %d.\r\n", r);

    KIV_Close(handle);
    std::printf("Example Exit.\r\n");
    return 0;
}
