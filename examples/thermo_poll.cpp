// Reads the three thermocouples of a ZRM-7303 and prints them raw and decoded.
#include "example_common.h"
#include "kiv.h"

#include <cstdio>

namespace {

constexpr const char *module_address = KIV_MODULE_ADDRESS;
constexpr int modbus_port = 502;
constexpr int connect_timeout_ms = 1000;
constexpr int reply_timeout_ms = 100;
constexpr int buffer_size = 64;

struct Fault {
    unsigned char bit;
    const char *name;
};
constexpr Fault faults[] = {
    {KIV_TC_FAULT_OPEN, "Open"},
    {KIV_TC_FAULT_SHORT_GND, "Short to GND"},
    {KIV_TC_FAULT_SHORT_VCC, "Short to VCC"},
};

unsigned u16(const unsigned char *p)
{
    return static_cast<unsigned>(p[0] << 8 | p[1]);
}

} // namespace

// Prints whole TC records only: a partial last record was not all received.
void parseTCdata(unsigned char *data, int length)
{
    for (int offset = 0; offset + KIV_TC_RECORD_SIZE <= length; offset += KIV_TC_RECORD_SIZE) {
        const unsigned char *record = data + offset;
        std::printf("TC:");
        std::printf(record[KIV_TC_ENABLE] == 1 ? "enable," : "disable,");
        for (const Fault &f : faults)
            if (record[KIV_TC_FAULTS] & f.bit)
                std::printf("Fault:%s\r\n", f.name);
        std::printf("Temperature:");
        print_value(record[KIV_TC_SIGN] == 1, u16(record + KIV_TC_INTEGER),
                    u16(record + KIV_TC_FRACTION));
        std::printf("Reference:");
        print_value(record[KIV_TC_REF_SIGN] == 1, record[KIV_TC_REF_INTEGER],
                    record[KIV_TC_REF_FRACTION]);
    }
}

int main()
{
    std::printf("ZRM-7303 TC Read Example.\r\n");
    int handle = -1;
    if (!init_and_connect(module_address, modbus_port, connect_timeout_ms, handle))
        return -1;

    unsigned char buf[buffer_size] = {};
    int len = 0;
    int r = KIV_ZRM_7303_TC_Read(handle, reply_timeout_ms, 1, 3, buf, buffer_size, &len);
    if (r != KIV_OK) {
        std::printf("KIV_ZRM_7303_TC_Read Error: %d.\r\n", r);
        if (r == KIV_ERR_EXCEPTION)
            std::printf("Modbus exception code: 0x%02x.\r\n", buf[0]);
    } else {
        std::printf("TC Read Response:\r\n");
        print_raw_dump(buf, len, KIV_TC_RECORD_SIZE, buffer_size);
        parseTCdata(buf, len < buffer_size ? len : buffer_size);
    }

    KIV_Close(handle);
    std::printf("Example Exit.\r\n");
    return 0;
}
