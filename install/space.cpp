#include "space.h"

#include <algorithm>
#include <linux/magic.h>

namespace {

// File systems that write every change to a new place, so that rewriting
// a file in place needs as much free space as the new contents.
bool copies_on_write(const struct statfs& fs) {
    constexpr decltype(fs.f_type) ZFS_MAGIC = 0x2fc12fc1;
    constexpr decltype(fs.f_type) BCACHEFS_MAGIC = 0xca451a4e;
    return fs.f_type == BTRFS_SUPER_MAGIC || fs.f_type == ZFS_MAGIC || fs.f_type == BCACHEFS_MAGIC;
}

off_t unit_of(const struct statfs& fs) {
    return fs.f_frsize > 0 ? fs.f_frsize : fs.f_bsize;
}

} // namespace

off_t free_space(const struct statfs& fs) {
    return static_cast<off_t>(fs.f_bavail) * unit_of(fs);
}

off_t allocated(off_t length, const struct statfs& fs) {
    const off_t unit = unit_of(fs);
    return (length + unit - 1) / unit * unit;
}

off_t space_needed(off_t length, blkcnt_t copy_blocks, const struct statfs& fs) {
    if (copies_on_write(fs))
        return allocated(length, fs);
    return std::max<off_t>(0, allocated(length, fs) - copy_blocks * 512);
}
