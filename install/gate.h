// The version gate: whether the installed copy is at least as new as the
// update, by the versions that their headers record.
#pragma once

#include "source.h"
#include "version_gate.h"

// The version of the installed copy open as fd, scanned from its start, or
// 0 when it has none or cannot be read. text_out is always terminated.
VersionValue installed_version(int fd, std::span<char, VERSION_TEXT_SIZE> text_out);

// The version in the update's first block, decoded first when encoded, or 0.
VersionValue update_version(UpdateSource& update, bool encoded,
                            std::span<char, VERSION_TEXT_SIZE> text_out);

// True when the installed copy open as installed_fd (-1: there is none) has
// a version at least that of the update. Fills texts along the way: the
// update's text even when the installed copy has no version. The update's
// first block is decoded when encoded is true.
bool installed_is_current(UpdateSource& update, bool encoded, int installed_fd,
                          VersionTexts& texts);
