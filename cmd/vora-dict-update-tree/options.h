// The tree command's command line: its options, and how a run is refused,
// on standard error and, with --json, as a JSON line on standard output.
#pragma once

#include "report.h"
#include "trust.h"

#include <string>
#include <vector>

inline constexpr char PROGRAM[] = "vora-dict-update-tree";

struct Options {
    bool verify = false; // compare what is installed with the tree, and change nothing
    bool dry_run = false;
    bool force = false;
    bool quiet = false;
    Format format = Format::english;
    std::vector<std::string> excluded;
    double wait = -1; // seconds; below 0: for ever
    std::vector<std::string> keys;
    TrustRules trust;
    const char* directory = ".";
};

// Parses the command line; returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Options& options);

// Refuses the run: one line on standard error, and with --json one error
// object on standard output, for a program that reads only that. The exit
// status, 2.
int refuse(Format format, const std::string& what, const std::string& why = "",
           const Refusal& distrust = {});

// Refuses a tree that is not trusted, or keys that cannot be.
int refuse_trust(Format format, const Refusal& distrust);
