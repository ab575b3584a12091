// What became of one file's install, which each command prints its own way.
#pragma once

#include "failure.h"
#include "version_gate.h"

#include <string>
#include <string_view>

enum class Outcome { added, updated, current, failed };

// The word that starts a file's line and names its result.
inline std::string_view outcome_word(Outcome outcome) {
    constexpr std::string_view WORDS[] = {"added", "updated", "current", "failed"};
    return WORDS[static_cast<int>(outcome)];
}

// Whether an installed copy stood at the destination before the run.
enum class Installed { unknown, absent, present };

struct InstallResult {
    Outcome outcome = Outcome::failed;
    Failure failure;      // with Outcome::failed
    VersionTexts texts{}; // the versions found, each empty when unknown
    bool changed = false; // a byte of the dictionary changed (in a dry run: would)
    Installed installed = Installed::unknown; // unknown where the run did not look
    bool same_contents = false;               // current because the copy holds the bytes already
    std::string detail; // what a library said of the failure, as it said it: an archive's damage
};
