// The header scan of an installed copy held in memory, fed to the scan as
// the install feeds it the file: each read filling what room the scan has,
// through a buffer of chunk bytes.
#pragma once

#include "header_scan.h"

#include <algorithm>
#include <string_view>
#include <vector>

inline VersionValue scan_in_memory(std::string_view file, std::size_t chunk,
                                   std::span<char, VERSION_TEXT_SIZE> text) {
    std::vector<char> buffer(chunk);
    HeaderScan scan(buffer, text);
    for (std::size_t at = 0;;) {
        const std::span<char> space = scan.space();
        const std::size_t got = std::min(space.size(), file.size() - at);
        std::copy_n(file.data() + at, got, space.data());
        at += got;
        if (scan.take(got) != ScanStep::more)
            return scan.value();
    }
}
