// Logs in to a ZRM-7301, reads and sets the enable bits and the ranges of its
// eight analog inputs, then has the module save them and restart.
#include "example_common.h"
#include "kiv.h"

#include <cstdio>

namespace {

constexpr const char *module_address = KIV_MODULE_ADDRESS;
constexpr int config_port = 5001;
constexpr int login_timeout_ms = 1000;
constexpr int reply_timeout_ms = 100;
constexpr int buffer_size = 32;
constexpr int enable_mask = 0x55; // inputs 1, 3, 5 and 7 on
// Channels 1..8: 0 to 20 mA, 0 to 10 V, -10 to 10 V, ... 0 to 500 mV.
constexpr unsigned char new_ranges[8] = {10, 9, 8, 7, 6, 5, 4, 3};

constexpr const char *range_labels[] = {
    "-150~150MV", "0~150MV", "-500~500MV", "0~500MV", "-1~1V", "0~1V",
    "-5~5V",      "0~5V",    "-10~10V",    "0~10V",   "0~20MA",
};
constexpr int range_codes = sizeof range_labels / sizeof range_labels[0];

void print_range_list(const unsigned char *codes, int length)
{
    for (int i = 0; i < length && i < buffer_size; ++i) {
        std::printf("AI-StartAddr[%d]:", i);
        if (codes[i] < range_codes)
            std::printf("%s\r\n", range_labels[codes[i]]);
    }
}

} // namespace

int main()
{
    std::printf("ZRM-7301 Set AI enable/range Example.\r\n");
    int handle = -1;
    if (!init_and_login(module_address, config_port, login_timeout_ms, handle))
        return -1;

    unsigned char data[buffer_size] = {};
    int len = 0;
    int r = KIV_Cfg_ZRM_7301_Get_AI_Enable(handle, reply_timeout_ms, 1, 8, data, buffer_size, &len);
    if (r == KIV_OK) {
        std::printf("Get AI_Enable:\r\n");
        print_byte_list(data, len, buffer_size);
    } else {
        std::printf("KIV_Cfg_ZRM_7301_Get_AI_Enable Error: %d.\r\n", r);
        if (r == KIV_ERR_RESPONSE)
            print_unknown_response(data, buffer_size);
    }

    r = KIV_Cfg_ZRM_7301_Set_AI_Enable(handle, reply_timeout_ms, 1, 8, enable_mask);
    if (r == KIV_OK)
        std::printf("Set AI_Enable 0x%x OK\r\n", enable_mask);
    else
        std::printf("KIV_Cfg_ZRM_7301_Set_AI_Enable Error: %d.\r\n", r);

    r = KIV_Cfg_ZRM_7301_Get_AI_Range(handle, reply_timeout_ms, 1, 8, data, buffer_size, &len);
    if (r == KIV_OK) {
        std::printf("Get AI_Range:\r\n");
        print_range_list(data, len);
    } else {
        std::printf("KIV_Cfg_ZRM_7301_Get_AI_Range Error: %d.\r\n", r);
        if (r == KIV_ERR_RESPONSE)
            print_unknown_response(data, buffer_size);
    }

    for (int i = 0; i < 8; ++i)
        data[i] = new_ranges[i];
    r = KIV_Cfg_ZRM_7301_Set_AI_Range(handle, reply_timeout_ms, 1, 8, data, buffer_size);
    if (r == KIV_OK) {
        std::printf("Set AI_Range OK\r\n");
    } else {
        std::printf("KIV_Cfg_ZRM_7301_Set_AI_Range Error: %d.\r\n", r);
        // The range write leaves no answer text: this shows the buffer as it
        // stands, bounded to its size.
        if (r == KIV_ERR_RESPONSE)
            print_unknown_response(data, buffer_size);
    }

    KIV_Cfg_SaveExit(handle);
    std::printf("Example Exit.\r\n");
    return 0;
}
