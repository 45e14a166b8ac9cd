// ZRM-7301: eight analog inputs, one digital output.
#include "kiv.h"
#include "kiv_cfg.h"
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

// Configuration entry points

extern "C" {

int KIV_Cfg_ZRM_7301_Get_AI_Enable(int handle, int timeout, int first, int count,
                                   unsigned char *buf, int size, int *len)
{
    if (!kiv::cfg::channels_fit(first, count, ai_channels) || buf == nullptr || size < 1 ||
        len == nullptr)
        return KIV_ERR_PARAM;
    return KIV_Cfg_Get_AI_Enable(handle, timeout, first - 1, count, buf, size, len);
}

int KIV_Cfg_ZRM_7301_Set_AI_Enable(int handle, int timeout, int first, int count, int value)
{
    if (!kiv::cfg::channels_fit(first, count, ai_channels))
        return KIV_ERR_PARAM;
    // The error text has no way out of this call: only the code is told.
    std::array<unsigned char, 32> scratch{};
    int scratch_len = 0;
    return KIV_Cfg_Set_AI_Enable(handle, timeout, first - 1, count, value, scratch.data(),
                                 static_cast<int>(scratch.size()), &scratch_len);
}

int KIV_Cfg_ZRM_7301_Get_AI_Range(int handle, int timeout, int first, int count,
                                  unsigned char *buf, int size, int *len)
{
    // One code per channel must fit the caller's buffer.
    if (!kiv::cfg::channels_fit(first, count, ai_channels) || buf == nullptr || size < count ||
        len == nullptr)
        return KIV_ERR_PARAM;
    return KIV_Cfg_Get_AI_Range(handle, timeout, first - 1, count, buf, size, len);
}

int KIV_Cfg_ZRM_7301_Set_AI_Range(int handle, int timeout, int first, int count,
                                  unsigned char *buf, int size)
{
    // A code must exist for every channel.
    if (!kiv::cfg::channels_fit(first, count, ai_channels) || buf == nullptr || size < count)
        return KIV_ERR_PARAM;
    return KIV_Cfg_Set_AI_Range(handle, timeout, first - 1, count, buf, size, count);
}

} // extern "C"
