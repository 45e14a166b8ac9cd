// Strings joined from pieces.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace common {

// The pieces one after another: "ai" and std::to_string(3) give "ai3".
// Appended piece by piece on purpose: GCC 12 optimising misjudges a
// literal plus a temporary string as an overlapping copy (-Wrestrict),
// and this is the one place that works around it.
inline std::string concat(std::initializer_list<std::string_view> pieces)
{
    std::string s;
    for (std::string_view p : pieces)
        s += p;
    return s;
}

} // namespace common
