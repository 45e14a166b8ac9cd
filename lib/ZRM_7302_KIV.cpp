// ZRM-7302: sixteen digital inputs, eight digital outputs, a sensor block.
#include "kiv.h"
#include "kiv_model.h"

namespace {

using namespace kiv::model;

constexpr int di_channels = 16;
constexpr int do_channels = 8;
constexpr int sensor_first_register = 0;
constexpr int sensor_registers = KIV_ZRM_7302_SENSOR_SIZE / 2;

} // namespace

extern "C" {

int KIV_ZRM_7302_DI_Read(int handle, int timeout, unsigned char first, unsigned char count,
                         unsigned char *buf, int size, int *len)
{
    if (!channels_ok(first, count, di_channels))
        return KIV_ERR_PARAM;
    return KIV_DI_Read(handle, timeout, first - 1, count, buf, size, len);
}

int KIV_ZRM_7302_DO_Read(int handle, int timeout, unsigned char first, unsigned char count,
                         unsigned char *value)
{
    if (!channels_ok(first, count, do_channels))
        return KIV_ERR_PARAM;
    return read_outputs(handle, timeout, first - 1, count, value);
}

int KIV_ZRM_7302_DO_Write(int handle, int timeout, unsigned char first, unsigned char count,
                          unsigned char value)
{
    if (!channels_ok(first, count, do_channels))
        return KIV_ERR_PARAM;
    return write_outputs(handle, timeout, first - 1, count, value);
}

int KIV_ZRM_7302_DO_Write_bit(int handle, int timeout, unsigned char channel, unsigned char value)
{
    return KIV_ZRM_7302_DO_Write(handle, timeout, channel, 1, value);
}

int KIV_ZRM_7302_Sensor_Read(int handle, int timeout, unsigned char *buf, int size, int *len)
{
    return KIV_AI_Read(handle, timeout, sensor_first_register, sensor_registers, buf, size, len);
}

} // extern "C"
