#include "run.h"

#include "process.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// What the summary says of the tree's manifest.
Signing signing_of(const TreeManifest& trust) {
    Signing signing;
    signing.manifest = trust.present;
    signing.signed_by_key = trust.signed_by_key;
    if (trust.signed_by_key)
        signing.key_id = key_id_text(trust.key_id);
    if (trust.present) {
        signing.serial = trust.manifest.serial;
        signing.name = trust.manifest.name;
    }
    if (trust.expired)
        signing.expired_at = trust.manifest.expires;
    signing.recorded_serial = trust.recorded_serial;
    return signing;
}

InstallSettings settings_of(const Options& options) {
    InstallSettings settings;
    settings.profile = Profile::tree;
    settings.force = options.force;
    return settings;
}

} // namespace

void flush_report(int& write_error) {
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && write_error == 0)
        write_error = errno != 0 ? errno : EIO;
}

int take_lock(const Options& options, const TreeManifest& trust, std::optional<RunLock>& lock) {
    if (options.dry_run)
        return -1;
    const LockWait wait{
        options.wait,
        [] { (void)std::fprintf(stderr, "%s: waiting for another install to finish\n", PROGRAM); }};
    lock.emplace(take_run_lock(wait));
    if (lock->state() == LockState::given_up)
        return refuse(options.format, "another install is still running (gave up waiting)");
    if (lock->state() == LockState::refused)
        return refuse(options.format, std::string("cannot take the lock ") + RUN_LOCK_PATH,
                      lock->why());
    // Another run may have recorded a higher serial while this one waited.
    if (const Refusal rollback = check_rollback(trust, options.trust); rollback.refused())
        return refuse_trust(options.format, rollback);
    return -1; // held until the process exits
}

RunWorld::RunWorld(const Options& options, const std::optional<RunLock>& lock)
    : settings_(settings_of(options)) {
    if (options.dry_run)
        world_ = std::make_unique<DryRun>(settings_);
    else
        world_ = std::make_unique<DiskWorld>(
            settings_, [&lock] { return lock.has_value() && lock->still_held(); });
}

int finish(const Options& options, std::size_t files, Output& output, const TreeManifest& trust) {
    std::string serial_error;
    if (!options.dry_run && trust.signed_by_key && output.counts.failed == 0)
        serial_error = record_serial(release_line(trust), trust.manifest.serial);
    output.progress.erase();
    report_summary(options.format, {files, output.counts, options.dry_run,
                                    !options.excluded.empty(), signing_of(trust)});
    flush_report(output.write_error);
    if (!serial_error.empty())
        (void)std::fprintf(stderr, "%s: cannot record the serial: %s\n", PROGRAM,
                           escaped(serial_error).c_str());
    if (output.write_error != 0)
        (void)std::fprintf(stderr, "%s: write error: %s\n", PROGRAM,
                           std::strerror(output.write_error));
    return output.counts.failed == 0 && output.write_error == 0 && serial_error.empty() ? 0 : 1;
}

void VerifyOutput::line(std::string_view path, const Verified& verified) {
    report_verified(options.format, options.quiet, path, verified, counts);
}

int finish_verify(std::size_t files, VerifyOutput& output, const TreeManifest& trust) {
    report_verify_summary(
        output.options.format,
        {files, output.counts, !output.options.excluded.empty(), signing_of(trust)});
    flush_report(output.write_error);
    if (output.write_error != 0)
        (void)std::fprintf(stderr, "%s: write error: %s\n", PROGRAM,
                           std::strerror(output.write_error));
    return output.counts.all_ok() && output.write_error == 0 ? 0 : 1;
}
