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

// Told the count of bytes each time a chunk has been copied.
using CopyProgress = std::function<void(off_t)>;

// Writeback of the installed file is started every WRITEBACK_SPAN bytes,
// so that the disk works while the copy goes on and a flush after it waits
// for the last span only.
inline constexpr off_t WRITEBACK_SPAN = off_t{8} << 20;

// Copies the update's body into the installed file open as destination,
// length_before bytes long: every byte of its plain content up to the
// length it had when it was opened, decoding every block of the file's
// BLOCK_SIZE grid when decode is true, but the first sector, which goes to
// first_sector (its size to first_sector_size), then cuts the file to the
// length copied. An update whose first in_place() bytes the copy holds
// already is written from there on, its first sector taken from its first
// block. The destination's first sector is left as it is. The
// failure names the read, write or cut that failed.
Failure copy_body(UpdateSource& update, int destination, off_t length_before, bool decode,
                  Sector& first_sector, std::size_t& first_sector_size,
                  const CopyProgress& progress = {});

// True when the copy open as copy_fd holds exactly the bytes that an
// install of the update would write (decoded when decode is true), read
// from both with positioned reads; a read that fails or comes short
// answers false.
bool same_contents(UpdateSource& update, int copy_fd, bool decode);

// True when installing a and installing b would write the same bytes, each
// decoded as its flag says.
bool same_output(UpdateSource& a, bool decode_a, UpdateSource& b, bool decode_b);
