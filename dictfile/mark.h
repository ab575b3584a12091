// The mark that an install writes over the installed copy's first sector
// before anything else: the header-end line and zero bytes, which the
// version gate reads as a header without a version, so that a copy cut
// short is out of date and the next run installs it whole.
#pragma once

#include "header_keys.h"

#include <algorithm>
#include <array>
#include <cstddef>

// The unit that storage writes whole: the new header of an installed copy
// becomes visible by one write of its first sector.
inline constexpr std::size_t SECTOR_SIZE = 512;

using Sector = std::array<unsigned char, SECTOR_SIZE>;

inline constexpr Sector MARK = [] {
    Sector sector{};
    auto* end = std::copy(HEADER_END_KEY.begin(), HEADER_END_KEY.end(), sector.begin());
    *end = '\n';
    return sector;
}();
