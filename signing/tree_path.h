// A path relative to an update tree's top, component by component: the one
// walk over a path's names that the manifest, the archive's members, the
// destination and the tree's exclusions share.
#pragma once

#include <algorithm>
#include <string_view>

// Calls visit(name, prefix) for each component of path in order, name being
// the component (empty between two slashes) and prefix the path up to and
// including it; stops when visit returns false. Returns whether it ran
// through.
template <typename Visit>
bool for_each_component(std::string_view path, Visit visit) {
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (!visit(path.substr(start, end - start), path.substr(0, end)))
            return false;
        start = end + 1;
    }
    return true;
}
