#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <sys/types.h>

enum class CopyFailure { none, read, write };

struct CopyResult {
    off_t copied;        // bytes written to the destination
    CopyFailure failure; // what stopped the copy early, with errno set
};

// Told the count of bytes each time a chunk has been copied.
using CopyProgress = std::function<void(off_t)>;

// Writeback of the destination is started every WRITEBACK_SPAN bytes, so
// that the disk works while the copy goes on and a flush after it waits
// for the last span only.
inline constexpr off_t WRITEBACK_SPAN = off_t{8} << 20;

// Reads no further than this: the update's length as it was opened. A file
// that grows meanwhile neither fills the disk nor keeps the run going.
using CopyLimit = off_t;
inline constexpr CopyLimit TO_THE_END = -1; // for a stream, which has no length

// Copies the update into the destination from their current offsets until
// the update is exhausted or limit bytes are copied, decoding every block
// of the file's BLOCK_SIZE grid when decode is true. After a failure the
// destination is incomplete.
CopyResult copy_update(int update_fd, int destination_fd, bool decode, CopyLimit limit = TO_THE_END,
                       const CopyProgress& progress = {});

// The unit that storage writes whole: the new header of an installed copy
// becomes visible by one write of its first sector.
inline constexpr std::size_t SECTOR_SIZE = 512;

// Overwrites the destination's first sector with the mark: "DGD_END" on the
// first line, then zero bytes. The version gate reads it as a header without
// a version, whatever follows, so a copy that shows it is out of date. False
// with errno set when the write fails.
bool write_mark(int destination_fd);

// Copies the update's body: every byte of its plain content, up to limit,
// but the first sector, which goes to first_sector (its size to
// first_sector_size), and cuts the destination, length_before bytes long,
// to the length copied, which copied returns. The update is read from its
// offset, which must be its start. The destination's first sector is left
// as it is.
CopyResult copy_body(int update_fd, int destination_fd, off_t length_before, bool decode,
                     CopyLimit limit, std::span<unsigned char, SECTOR_SIZE> first_sector,
                     std::size_t& first_sector_size, const CopyProgress& progress = {});

// True when the copy open as copy_fd holds exactly length bytes that the
// update open as update_fd gives, decoded when decode is true: what an
// install would write. Both are read from offset 0 with pread; a read that
// fails or comes short answers false.
bool same_contents(int update_fd, int copy_fd, bool decode, off_t length);

// Writes bytes at the start of the destination. False with errno set when
// that fails.
bool write_at_start(int destination_fd, std::span<const unsigned char> bytes);
