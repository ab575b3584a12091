// What --version prints, the same way for every program of the package.
#pragma once

#include <cstdio>

// Prints "PROGRAM (vora-dict-update) VERSION", one line, as GNU programs do.
// Returns the exit status: 1 when the line could not be written.
inline int print_version(const char* program) {
    std::printf("%s (vora-dict-update) %s\n", program, VDU_VERSION);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}
