/*
 * kiv/zrm7303.hpp - kiv::zrm7303, the calls of a ZRM-7303: three
 * thermocouple inputs, two digital inputs, one output. Part of kiv.hpp.
 */
#ifndef KIV_ZRM7303_HPP
#define KIV_ZRM7303_HPP

#include "cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "../kiv.h"
#include "config_session.hpp"
#include "connection.hpp"
#include "model_base.hpp"
#include "records.hpp"
#include "result.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kiv {

namespace detail {

struct zrm7303_calls {
    using record = tc_channel;
    static constexpr std::size_t record_size = KIV_TC_RECORD_SIZE;
    static constexpr auto do_read = KIV_ZRM_7303_DO_Read;
    static constexpr auto do_write = KIV_ZRM_7303_DO_Write;
    static constexpr auto read = KIV_ZRM_7303_TC_Read;
    static constexpr auto decode = decode_tc_records;
    static constexpr auto get_enable = KIV_Cfg_ZRM_7303_Get_TC_Enable;
    static constexpr auto set_enable = KIV_Cfg_ZRM_7303_Set_TC_Enable;
};

} // namespace detail

// ZRM-7303: three thermocouple inputs, two digital inputs, one output.
// read_do, write_do and the power-on value come from the shared base.
class zrm7303 : public detail::record_model<detail::zrm7303_calls> {
public:
    static constexpr int tc_channels = 3;
    static constexpr int di_channels = 2;

    explicit zrm7303(int timeout_ms = default_reply_timeout_ms) noexcept : record_model(timeout_ms) {}

    // KIV_ZRM_7303_DI_Read: bit i is channel first+i; a reply without
    // exactly the byte of count inputs is errc::response.
    result<std::uint16_t> read_di(const connection &c, std::uint8_t first = 1,
                                  std::uint8_t count = di_channels) const
    {
        auto r = detail::bits_read([&](unsigned char *b, int size, int *len) {
            return KIV_ZRM_7303_DI_Read(c.handle(), timeout_, first, count, b, size, len);
        }, count);
        if (r)
            *r = static_cast<std::uint16_t>(*r & ((1u << count) - 1));
        return r;
    }
    // KIV_ZRM_7303_TC_Read: the records as they came.
    result<std::vector<unsigned char>> read_tc_raw(const connection &c, std::uint8_t first = 1,
                                                   std::uint8_t count = tc_channels) const
    {
        return records_raw(c, first, count);
    }
    // KIV_ZRM_7303_TC_Read, decoded: channel first at index 0. A reply
    // without exactly count records is errc::response, not a shorter list.
    result<std::vector<tc_channel>> read_tc(const connection &c, std::uint8_t first = 1,
                                            std::uint8_t count = tc_channels) const
    {
        return records(c, first, count);
    }

    // KIV_Cfg_ZRM_7303_Get_TC_Enable: bit i is channel first+i (1 = enabled).
    result<std::uint8_t> get_tc_enable(const config_session &s, int first = 1,
                                       int count = tc_channels) const
    {
        return enable(s, first, count);
    }
    // KIV_Cfg_ZRM_7303_Set_TC_Enable: bit i of mask for channel first+i.
    result<void> set_tc_enable(const config_session &s, int first, int count, unsigned mask) const
    {
        return set_enable(s, first, count, mask);
    }
};

} // namespace kiv

#endif
#endif /* KIV_ZRM7303_HPP */
