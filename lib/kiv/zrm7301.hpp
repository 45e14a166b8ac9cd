/*
 * kiv/zrm7301.hpp - kiv::zrm7301, the calls of a ZRM-7301: eight analog
 * inputs with selectable ranges, one digital output. Part of kiv.hpp.
 */
#ifndef KIV_ZRM7301_HPP
#define KIV_ZRM7301_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"
#include "config_session.hpp"
#include "connection.hpp"
#include "model_base.hpp"
#include "ranges.hpp"
#include "records.hpp"
#include "result.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kiv {

namespace detail {

struct zrm7301_calls {
    using record = ai_channel;
    static constexpr std::size_t record_size = KIV_AI_RECORD_SIZE;
    static constexpr auto do_read = KIV_ZRM_7301_DO_Read;
    static constexpr auto do_write = KIV_ZRM_7301_DO_Write;
    static constexpr auto read = KIV_ZRM_7301_AI_Read;
    static constexpr auto decode = decode_ai_records;
    static constexpr auto get_enable = KIV_Cfg_ZRM_7301_Get_AI_Enable;
    static constexpr auto set_enable = KIV_Cfg_ZRM_7301_Set_AI_Enable;
};

} // namespace detail

// ZRM-7301: eight analog inputs with selectable ranges, one digital output.
// read_do, write_do and the power-on value come from the shared base.
class zrm7301 : public detail::record_model<detail::zrm7301_calls> {
public:
    static constexpr int ai_channels = 8;

    explicit zrm7301(int timeout_ms = default_reply_timeout_ms) noexcept : record_model(timeout_ms) {}

    // KIV_ZRM_7301_AI_Read: the records as they came.
    result<std::vector<unsigned char>> read_ai_raw(const connection &c, std::uint8_t first = 1,
                                                   std::uint8_t count = ai_channels) const
    {
        return records_raw(c, first, count);
    }
    // KIV_ZRM_7301_AI_Read, decoded: channel first at index 0. A reply
    // without exactly count records is errc::response, not a shorter list.
    result<std::vector<ai_channel>> read_ai(const connection &c, std::uint8_t first = 1,
                                            std::uint8_t count = ai_channels) const
    {
        return records(c, first, count);
    }

    // KIV_Cfg_ZRM_7301_Get_AI_Enable: bit i is channel first+i (1 = enabled).
    result<std::uint8_t> get_ai_enable(const config_session &s, int first = 1,
                                       int count = ai_channels) const
    {
        return enable(s, first, count);
    }
    // KIV_Cfg_ZRM_7301_Set_AI_Enable: bit i of mask for channel first+i.
    result<void> set_ai_enable(const config_session &s, int first, int count, unsigned mask) const
    {
        return set_enable(s, first, count, mask);
    }
    // KIV_Cfg_ZRM_7301_Get_AI_Range: codes[i] is the range code of channel first+i.
    result<std::vector<std::uint8_t>> get_ai_range(const config_session &s, int first = 1,
                                                   int count = ai_channels) const
    {
        std::array<unsigned char, 257> buf{};
        int len = 0;
        int rc = KIV_Cfg_ZRM_7301_Get_AI_Range(s.handle(), timeout_, first, count, buf.data(),
                                               static_cast<int>(buf.size()), &len);
        if (rc != KIV_OK)
            return detail::answer_failure(rc, buf.data(), buf.size());
        return std::vector<std::uint8_t>(buf.begin(), buf.begin() + len);
    }
    // KIV_Cfg_ZRM_7301_Set_AI_Range: codes[i] for channel first+i. A code
    // above 10 names no range: it is refused here (errc::param, nothing
    // sent) rather than written to the module as a base value.
    result<void> set_ai_range(const config_session &s, int first,
                              std::span<const std::uint8_t> codes) const
    {
        if (codes.empty() || codes.size() > ai_channels)
            return errc::param;
        std::array<unsigned char, ai_channels> buf{};
        for (std::size_t i = 0; i < codes.size(); ++i) {
            if (codes[i] >= range_count)
                return errc::param;
            buf[i] = codes[i];
        }
        return detail::status(KIV_Cfg_ZRM_7301_Set_AI_Range(s.handle(), timeout_, first,
                                                             static_cast<int>(codes.size()),
                                                             buf.data(), static_cast<int>(buf.size())));
    }
};

} // namespace kiv

#endif
#endif /* KIV_ZRM7301_HPP */
