// The bytes of an install's body step, and the comparison that settles a
// run over copies that hold the update already. The copy moves a chunk of
// whole blocks at a time through buffers of fixed size.
#pragma once

#include "failure.h"
#include "mark.h"
#include "source.h"

#include <cstddef>
#include <functional>
#include <span>
#include <sys/types.h>

// Told the count of bytes each time a chunk has been copied; answers why
// the copy must stop there, or Problem::none to go on.
using CopyProgress = std::function<Problem(off_t)>;

// The unit of the copy and of the comparison: whole blocks.
inline constexpr std::size_t CHUNK_SIZE = std::size_t{32} * BLOCK_SIZE;

// Writeback of the installed file is started every WRITEBACK_SPAN bytes,
// so that the disk works while the copy goes on and a flush after it waits
// for the last span only.
inline constexpr off_t WRITEBACK_SPAN = off_t{8} << 20;

// The new header's sector, kept back from the body until the commit.
struct FirstSector {
    Sector bytes{};
    std::size_t size = 0;
};

// Where a body goes: the installed file open for writing, as long as it
// was before, how the update's bytes become its bytes, and how many of
// them, from the start, the file was found to hold already.
struct BodyWrite {
    int file;
    off_t length_before;
    Decoding decoding;
    off_t in_place;
};

// Copies the update's body into the file: every byte of its plain content
// up to the length it had when it was opened, from in_place on, but the
// first sector, which goes to first; then cuts the file to the length
// copied. The file's first sector is left as it is. The failure names the
// read, write or cut that failed, or why progress stopped the copy.
Failure copy_body(UpdateSource& update, const BodyWrite& into, FirstSector& first,
                  const CopyProgress& progress = {});

// Whether raw, the update's bytes from offset at, decoded as decoding says,
// are the copy's (open as copy) at the same offset; a read that fails or
// comes short answers false.
bool chunk_in_copy(std::span<const unsigned char> raw, Decoding decoding, int copy, off_t at);

// Whether the copy holds exactly what installing update would write.
bool same_as_copy(RereadableSource& update, int copy, Decoding decoding);
