// What --help and --version print, the same way for every program of the package.
#pragma once

#include <cstdio>

// Prints a program's help text on standard output; the exit status.
inline int print_help(const char* text) {
    (void)std::fputs(text, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// Prints "PROGRAM (vora-dict-update) VERSION", one line, as GNU programs do.
// Returns the exit status: 1 when the line could not be written.
inline int print_version(const char* program) {
    std::printf("%s (vora-dict-update) %s\n", program, VDU_VERSION);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}
