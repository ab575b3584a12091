#pragma once

#include <string_view>

// Every installed dictionary file lives below this directory, at the same
// relative path as its update file below the current directory.
inline constexpr std::string_view DICTIONARY_ROOT = "/usr/local/share/vora/Dictionary";

// Installs the update named by argv[1] and prints the one line that reports
// the outcome. Returns the exit status: 0 when the file was installed or was
// already current, 1 when the run was refused or failed.
int install_update(int argc, char** argv);
