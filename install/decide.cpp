#include "decide.h"

#include "gate.h"
#include "io.h"
#include "world.h"

namespace {

Failure plan_failure(int error, Problem problem = Problem::none) {
    return {Step::plan, error, problem};
}

// A file that others may not read (a hard link to a secret, or a tree
// swapped for another) must not become one that others may read: its bytes
// go only into a copy that root alone can read, and nothing of it, not even
// its version, is read before that is known.
bool is_private(const UpdateSource& update) {
    return (update.status().st_mode & S_IROTH) == 0;
}

// Why the install must not go on whatever the versions say: an installed
// path that is not a regular file, the update itself, or a link to nothing.
Failure refusal(const Job& job) {
    if (const CopyFound* found = job.target.found()) {
        if (!S_ISREG(found->status.st_mode))
            return plan_failure(0, Problem::not_regular);
        // Decoding a file onto itself would destroy it.
        if (same_file(found->status, job.update->status()))
            return plan_failure(0, Problem::same_file);
    }
    if (const auto* none = std::get_if<NoCopy>(&job.target.file); none != nullptr && none->dangling)
        return plan_failure(ENOENT);
    return {};
}

// The version gate: the copy's version against the update's, whose first
// block is decoded when its own name says it is encoded.
bool gate_says_current(Job& job, World& world) {
    VersionTexts& texts = job.result.texts;
    const VersionValue installed = world.installed_version(job);
    const Decoding encoded = decoding_of(job.target.destination.relative_path());
    return is_current(installed, update_version(*job.update, encoded, texts.update_text));
}

} // namespace

bool only_root_reads(const struct stat& status, int fd) {
    return status.st_uid == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) == 0 &&
           !(fd >= 0 && has_acl(fd, ACCESS_ACL));
}

Decision decide(Job& job, World& world) {
    const InstallSettings& settings = world.settings();
    const ProfileRules rules = rules_of(settings.profile);
    const bool present = world.copy_present(job);
    const bool keep_private = rules.keep_private && is_private(*job.update);
    if (keep_private && !(present ? world.copy_only_root_reads(job) : world.new_file_private(job)))
        return Refused{KEPT_PRIVATE};
    // A new file's mode is known once it is made: the version of a private
    // update is read only when the file it would go to stays private.
    const bool version_later = keep_private && !present;
    if (!version_later && gate_says_current(job, world) && !settings.force)
        return Current{};
    if (const Failure refused = refusal(job); refused.failed())
        return Refused{refused};
    if (rules.compare_contents && world.holds_the_update(job))
        return Current{true};
    return Write{keep_private, version_later};
}
