// Reads the eight analog inputs of a ZRM-7301 and prints them raw and decoded.
#include "example_common.h"
#include "kiv.h"

#include <cstdio>

namespace {

constexpr const char *module_address = KIV_MODULE_ADDRESS;
constexpr int modbus_port = 502;
constexpr int connect_timeout_ms = 1000;
constexpr int reply_timeout_ms = 100;
constexpr int buffer_size = 64;

unsigned u16(const unsigned char *p)
{
    return static_cast<unsigned>(p[0] << 8 | p[1]);
}

} // namespace

// Prints whole AI records only: a partial last record was not all received.
void parseAIdata(unsigned char *data, int length)
{
    for (int offset = 0; offset + KIV_AI_RECORD_SIZE <= length; offset += KIV_AI_RECORD_SIZE) {
        const unsigned char *record = data + offset;
        std::printf("AI:");
        std::printf(record[KIV_AI_ENABLE] == 1 ? "enable," : "disable,");
        std::printf("Value:");
        print_value(record[KIV_AI_SIGN] == 1, u16(record + KIV_AI_INTEGER),
                    u16(record + KIV_AI_FRACTION));
    }
}

int main()
{
    std::printf("ZRM-7301 AI Read Example.\r\n");
    int handle = -1;
    if (!init_and_connect(module_address, modbus_port, connect_timeout_ms, handle))
        return -1;

    unsigned char buf[buffer_size] = {};
    int len = 0;
    int r = KIV_ZRM_7301_AI_Read(handle, reply_timeout_ms, 1, 8, buf, buffer_size, &len);
    if (r != KIV_OK) {
        std::printf("KIV_ZRM_7301_AI_Read Error: %d.\r\n", r);
        if (r == KIV_ERR_EXCEPTION)
            std::printf("Modbus exception code: 0x%02x.\r\n", buf[0]);
    } else {
        std::printf("AI Read Response:\r\n");
        print_raw_dump(buf, len, KIV_AI_RECORD_SIZE, buffer_size);
        parseAIdata(buf, len < buffer_size ? len : buffer_size);
    }

    KIV_Close(handle);
    std::printf("Example Exit.\r\n");
    return 0;
}
