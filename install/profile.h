// How an install behaves: as the single tool, which installs the path that
// its caller typed, or as the tree, which installs files that someone else
// may have put in place. One value names the whole behaviour.
#pragma once

#include "target.h"

#include <sys/resource.h>

enum class Profile { single_file, tree };

struct ProfileRules {
    // Every missing directory on the way is made, like mkdir -p; or only
    // the file's own.
    Levels levels;
    // The version gate opens the installed copy read-only, so that a current
    // copy is current wherever it lies; or it takes only a copy that it
    // could rewrite.
    GateAccess gate;
    // An update that others may not read fails rather than being installed
    // where anyone but root may read it.
    bool keep_private;
    // A copy that holds exactly the bytes that the install would write is
    // current, whatever the versions say: nothing is written.
    bool compare_contents;
};

constexpr ProfileRules rules_of(Profile profile) {
    if (profile == Profile::tree)
        return {Levels::all, GateAccess::read_only, true, true};
    return {Levels::own_directory, GateAccess::read_write, true, false};
}

// The soft RLIMIT_FSIZE, or RLIM_INFINITY when there is none or it is unknown.
rlim_t current_file_size_limit();

struct InstallSettings {
    Profile profile = Profile::single_file;
    bool force = false; // install whatever the versions say
    // The process's file-size limit, read once for the run: an update longer
    // than it fails before anything is written.
    rlim_t file_size_limit = current_file_size_limit();
};
