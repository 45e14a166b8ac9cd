// ZRM-7301: eight analog inputs, one digital output.
#include "kiv.h"
#include "kiv_model.h"

namespace {

using namespace kiv::model;

constexpr int ai_channels = 8;
constexpr int ai_first_register = 256;
constexpr int ai_registers_per_channel = KIV_AI_RECORD_SIZE / 2;
constexpr int output_coil = 0;

} // namespace

extern "C" {

int KIV_ZRM_7301_DO_Read(int handle, int timeout, unsigned char *value)
{
    return read_outputs(handle, timeout, output_coil, 1, value);
}

int KIV_ZRM_7301_DO_Write(int handle, int timeout, unsigned char value)
{
    return write_outputs(handle, timeout, output_coil, 1, value);
}

int KIV_ZRM_7301_AI_Read(int handle, int timeout, unsigned char first, unsigned char count,
                         unsigned char *buf, int size, int *len)
{
    if (!channels_ok(first, count, ai_channels))
        return KIV_ERR_PARAM;
    return KIV_AI_Read(handle, timeout, ai_first_register + ai_registers_per_channel * (first - 1),
                       ai_registers_per_channel * count, buf, size, len);
}

} // extern "C"
