// How many channels of each kind a model has, from kiv.hpp's model classes:
// the one table that configuration, commands, settings and discovery ask.
#pragma once

#include "kiv.hpp"

namespace gateway {

struct Channels {
    int ai = 0;
    int tc = 0;
    int di = 0;
    int outputs = 0;
};

// All zero for a model that is none of the three.
constexpr Channels channels_of(int model)
{
    switch (model) {
    case 7301:
        return {kiv::zrm7301::ai_channels, 0, 0, kiv::zrm7301::do_channels};
    case 7302:
        return {0, 0, kiv::zrm7302::di_channels, kiv::zrm7302::do_channels};
    case 7303:
        return {0, kiv::zrm7303::tc_channels, kiv::zrm7303::di_channels, kiv::zrm7303::do_channels};
    }
    return {};
}

} // namespace gateway
