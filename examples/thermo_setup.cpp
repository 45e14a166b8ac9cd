// Logs in to a ZRM-7303, reads and sets the enable bits of its three
// thermocouples, then has the module save them and restart.
#include "example_common.h"
#include "kiv.h"

#include <cstdio>

namespace {

constexpr const char *module_address = KIV_MODULE_ADDRESS;
constexpr int config_port = 5001;
constexpr int login_timeout_ms = 1000;
constexpr int reply_timeout_ms = 100;
constexpr int buffer_size = 32;
constexpr int enable_mask = 2; // thermocouple 2 on, 1 and 3 off

} // namespace

int main()
{
    std::printf("ZRM-7303 Set TC enable Example.\r\n");
    int handle = -1;
    if (!init_and_login(module_address, config_port, login_timeout_ms, handle))
        return -1;

    unsigned char data[buffer_size] = {};
    int len = 0;
    int r = KIV_Cfg_ZRM_7303_Get_TC_Enable(handle, reply_timeout_ms, 1, 3, data, buffer_size, &len);
    if (r == KIV_OK) {
        std::printf("Get AI_Enable:\r\n");
        print_byte_list(data, len, buffer_size);
    } else {
        std::printf("KIV_Cfg_ZRM_7303_Get_TC_Enable Error: %d.\r\n", r);
        if (r == KIV_ERR_RESPONSE)
            print_unknown_response(data, buffer_size);
    }

    r = KIV_Cfg_ZRM_7303_Set_TC_Enable(handle, reply_timeout_ms, 1, 3, enable_mask);
    if (r == KIV_OK)
        std::printf("Set AI_Enable 0x%x OK\r\n", enable_mask);
    else
        std::printf("KIV_Cfg_ZRM_7303_Set_TC_Enable Error: %d.\r\n", r);

    KIV_Cfg_SaveExit(handle);
    std::printf("Example Exit.\r\n");
    return 0;
}
