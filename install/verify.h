// Verifying what is installed against what was shipped: one more way
// through the core, a source and a decision and no steps. An installed
// copy is compared with what its update installs (an ejd update decoded):
// with a manifest's digest, the copy is hashed in the update's form (an ejd
// copy encoded again block by block as it is read), so that the update is
// read no further than its first block; without one, the update's bytes are
// compared with the copy's. Nothing is written, and no lock is taken.
#pragma once

#include "digest.h"
#include "failure.h"
#include "source.h"
#include "target.h"
#include "version_gate.h"

#include <optional>
#include <string>
#include <string_view>

enum class VerifyState {
    ok,       // the copy is what the update installs
    modified, // its bytes differ
    missing,  // there is no copy
    marked,   // an interrupted install left it for the next run
    failed,   // it cannot be verified: see failure
};

// The word that starts a verified file's line.
std::string_view verify_word(VerifyState state);

struct Verified {
    VerifyState state = VerifyState::failed;
    VersionTexts texts{}; // as found, each empty when unknown
    VersionValue installed = 0;
    VersionValue update = 0;
    Failure failure; // with failed
};

// What an installed file is verified against: the update (when there is
// one to read; a listed file missing from its tree has none), and the digest
// that its manifest lists for it.
struct Shipped {
    UpdateSource* update = nullptr;
    const Sha256* digest = nullptr;
};

// Verifies the installed copy at relative below the dictionary root
// against what was shipped there. The directories are looked up through
// directories, shared across files.
Verified verify_installed(std::string_view relative, const Shipped& shipped,
                          Directories& directories);

// Reads the update's version into verified: for a copy verified by its
// digest alone, whose update is opened only when the copy differs.
void read_update_version(UpdateSource& update, Decoding decoding, Verified& verified);
