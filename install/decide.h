// Deciding an install: a value, and nothing changed. The version gate, the
// checks and the comparison read the installed file as the world shows it
// (on disk, or as an earlier file of a dry run would have left it); one
// separate step then carries a decision to write out.
#pragma once

#include "failure.h"

#include <variant>

struct Job;
class World;

// The copy is current: by its version, or because it holds the update's
// bytes already.
struct Current {
    bool same_contents = false;
};

// The install must not go on.
struct Refused {
    Failure failure;
};

// The install writes: into the copy found, or a new file in its directory
// (made where missing). A private update's file must turn out root's alone
// as made, and a new private file's update version is read only then.
struct Write {
    bool keep_private = false;
    bool version_later = false;
};

using Decision = std::variant<Current, Refused, Write>;

// Decides the install of job, its update and installed file looked up,
// filling the versions it finds into the job's result.
Decision decide(Job& job, World& world);

// Why an update that others may not read is not installed: its copy could be read by others.
inline constexpr Failure KEPT_PRIVATE{Step::open_update, 0, Problem::not_readable_by_others};

// Whether only root can read the file with status, open as fd (-1: its
// access ACL cannot be asked): root's, no group or other read bit, no ACL.
bool only_root_reads(const struct stat& status, int fd);
