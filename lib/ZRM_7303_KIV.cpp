// ZRM-7303: three thermocouple inputs, two digital inputs, one digital output.
#include "kiv.h"
#include "kiv_cfg.h"
#include "kiv_model.h"

namespace {

using namespace kiv::model;

constexpr int di_channels = 2;
constexpr int tc_channels = 3;
constexpr int tc_first_register = 512;
constexpr int tc_registers_per_channel = KIV_TC_RECORD_SIZE / 2;
constexpr int output_coil = 0;

} // namespace

extern "C" {

int KIV_ZRM_7303_DI_Read(int handle, int timeout, unsigned char first, unsigned char count,
                         unsigned char *buf, int size, int *len)
{
    if (!channels_ok(first, count, di_channels))
        return KIV_ERR_PARAM;
    return KIV_DI_Read(handle, timeout, first - 1, count, buf, size, len);
}

int KIV_ZRM_7303_DO_Read(int handle, int timeout, unsigned char *value)
{
    return read_outputs(handle, timeout, output_coil, 1, value);
}

int KIV_ZRM_7303_DO_Write(int handle, int timeout, unsigned char value)
{
    return write_outputs(handle, timeout, output_coil, 1, value);
}

int KIV_ZRM_7303_TC_Read(int handle, int timeout, unsigned char first, unsigned char count,
                         unsigned char *buf, int size, int *len)
{
    if (!channels_ok(first, count, tc_channels))
        return KIV_ERR_PARAM;
    return KIV_AI_Read(handle, timeout, tc_first_register + tc_registers_per_channel * (first - 1),
                       tc_registers_per_channel * count, buf, size, len);
}

} // extern "C"

// Configuration entry points

extern "C" {

int KIV_Cfg_ZRM_7303_Get_TC_Enable(int handle, int timeout, int first, int count,
                                   unsigned char *buf, int size, int *len)
{
    if (!kiv::cfg::channels_fit(first, count, tc_channels) || buf == nullptr || size < 1 ||
        len == nullptr)
        return KIV_ERR_PARAM;
    return KIV_Cfg_Get_TC_Enable(handle, timeout, first - 1, count, buf, size, len);
}

int KIV_Cfg_ZRM_7303_Set_TC_Enable(int handle, int timeout, int first, int count, int value)
{
    if (!kiv::cfg::channels_fit(first, count, tc_channels))
        return KIV_ERR_PARAM;
    // The error text has no way out of this call: only the code is told.
    std::array<unsigned char, 32> scratch{};
    int scratch_len = 0;
    return KIV_Cfg_Set_TC_Enable(handle, timeout, first - 1, count, value, scratch.data(),
                                 static_cast<int>(scratch.size()), &scratch_len);
}

} // extern "C"
