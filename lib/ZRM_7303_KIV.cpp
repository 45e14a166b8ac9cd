// ZRM-7303: three thermocouple inputs, two digital inputs, one digital output.
#include "kiv.h"
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
