#include "install.h"

#include "file_source.h"
#include "verified_source.h"

#include <fcntl.h>
#include <optional>

InstallResult install_file(const char* update_path, const InstallSettings& settings,
                           const Sha256* expected) {
    FileSource file;
    std::optional<VerifiedSource> verified;
    UpdateSource* update = &file;
    if (expected != nullptr)
        update = &verified.emplace(file, *expected);
    Directories directories;
    InstallJob job;
    if (start_job(job, update_path)) {
        if (const Failure opened = file.open(AT_FDCWD, update_path, Links::any); opened.failed()) {
            end_job(job, opened);
        } else {
            look_up(job, *update, directories);
            plan_job(job, settings, directories);
        }
    }
    run_steps({&job, 1}, FlushSchedule::each_file);
    return job.result;
}
