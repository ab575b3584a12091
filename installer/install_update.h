#pragma once

// Installs the update named by argv[1] and prints the one line that reports
// the outcome. Returns the exit status: 0 when the file was installed or was
// already current, 1 when the run was refused or failed, or when its line
// could not be written.
int install_update(int argc, char** argv);
