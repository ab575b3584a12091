// Why an install failed, captured where the call failed: the step, and the
// system's error number or a problem that no error number names. One table
// gives each its English reason and its word for programs; the single
// tool maps the step to its own message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class Step : std::uint8_t {
    none,        // nothing failed
    open_update, // reaching and opening the update, and what its status forbids
    plan, // the checks before the first write: the installed file, its directories, the limits
    open_target,  // opening or creating the installed file for writing
    space,        // the free space for the update
    mark,         // the first sector's mark, and the reservation before it
    body,         // every byte but the first sector, and the cut to length
    first_sector, // the new header
    flush,        // making a step's writes durable
    close,        // the close of the installed file
};

enum class Problem : std::uint8_t {
    none,
    symbolic_link,          // a link where none is followed
    not_regular,            // a directory, device, FIFO or socket
    same_file,              // the update is the installed file itself
    update_changed,         // the update was written to while it was being installed
    not_readable_by_others, // others may not read the update, and others could read the copy
    leaves_dictionary,      // the relative path climbs above the dictionary root
    hash_mismatch,          // the update's bytes are not the ones that its manifest lists
    not_in_manifest,        // a file of a tree whose manifest does not list it
    missing,                // listed in the manifest, but not in the tree
    unsafe_name,            // an archive member's name that leaves the tree or cannot be a path
    hard_link,              // an archive member that is a hard link
    duplicate,              // a second archive member of the same name
    damaged_archive,        // the archive ends or breaks here
    lock_lost,              // the run no longer holds its lock: another may be writing
    stopped,                // a stopping signal ended the run before this file was done
    too_large,              // an archive member larger than the dictionary's free space
};

struct Failure {
    Step step = Step::none;
    int error = 0; // the system's error number, or 0
    Problem problem = Problem::none;

    [[nodiscard]] bool failed() const { return step != Step::none; }
};

// What went wrong, in English: "cannot open the update: not a regular file",
// "writing the dictionary failed: No space left on device", "a symbolic link".
std::string failure_reason(const Failure& failure);

// The word that programs act on: the problem's ("same_file") or the
// system's name of the error ("ENOSPC").
std::string failure_code(const Failure& failure);

// What went wrong, alone: the problem's words, else the error's; with no
// step named (for a file only read, as verifying reads an installed one).
std::string problem_reason(const Failure& failure);

// Whether the update, rather than the dictionary, is what failed.
inline bool update_failed(const Failure& failure) {
    return failure.step == Step::open_update;
}
