// The version gate: whether the installed copy is at least as new as the
// update, by the versions that their headers record.
#pragma once

#include "source.h"
#include "version_gate.h"

// The version of the installed copy open as fd, scanned from its start, or
// 0 when it has none or cannot be read. text_out is always terminated.
VersionValue installed_version(int fd, std::span<char, VERSION_TEXT_SIZE> text_out);

// The version in the update's first block, decoded first when encoded, or 0.
VersionValue update_version(UpdateSource& update, Decoding encoded,
                            std::span<char, VERSION_TEXT_SIZE> text_out);
