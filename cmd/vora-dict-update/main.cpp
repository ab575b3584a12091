// vora-dict-update ejd_dict_file: installs the update at the path given,
// relative to the current directory, at the same relative path below the
// dictionary root, and prints the one line that reports the outcome.
#include "batch.h"
#include "disk.h"
#include "file_source.h"
#include "messages.h"
#include "process.h"
#include "program_version.h"
#include "run_lock.h"
#include "trust.h"
#include "verified_source.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <unistd.h>

namespace {

// The text behind the argument's last "/", which is also the destination's
// last component.
const char* last_component(const char* argument) {
    const char* slash = std::strrchr(argument, '/');
    return slash != nullptr ? slash + 1 : argument;
}

// The one line must reach standard output; when it cannot, the run fails.
int finish_line(int status) {
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? status : 1;
}

int report(const InstallResult& result, const char* name) {
    switch (result.outcome) {
    case Outcome::current:
        std::printf(msg_already_current, name, result.texts.installed_text.data(),
                    result.texts.update_text.data());
        return finish_line(0);
    case Outcome::added:
        std::printf(msg_added, name);
        return finish_line(0);
    case Outcome::updated:
        std::printf(msg_updated, name);
        return finish_line(0);
    case Outcome::failed:
        break;
    }
    (void)std::fputs(update_failed(result.failure) ? msg_cannot_open_update : msg_write_failed,
                     stdout);
    return finish_line(1);
}

// The path as a manifest lists it: without the "./" that may lead it.
std::string_view listed_path(std::string_view argument) {
    while (argument.starts_with("./"))
        argument.remove_prefix(2);
    return argument;
}

// With a publisher's key trusted, only what it signed installs: the
// manifest in the current directory must verify by a trusted key, be
// neither expired nor older than the serial recorded for the key, and list
// the argument, whose digest it gives. true with expected nullptr when no
// key is trusted; false when the update is not to be installed.
bool trusted_digest(const char* argument, TreeManifest& trust, const Sha256*& expected) {
    expected = nullptr;
    const TrustedKeys keys = load_trusted_keys({});
    if (keys.refusal.refused())
        return false;
    if (keys.keys.empty())
        return true;
    TrustRules rules;
    rules.now = std::time(nullptr);
    trust = read_tree_manifest(AT_FDCWD, keys, rules);
    if (trust.refusal.refused() || !trust.signed_by_key)
        return false;
    expected = trust.manifest.digest_of(listed_path(argument));
    return expected != nullptr;
}

// The update at path as typed: a file checked against expected, when
// a trusted manifest lists it.
Failure open_update(const char* path, const Sha256* expected,
                    std::unique_ptr<UpdateSource>& update) {
    if (expected == nullptr) {
        auto file = std::make_unique<FileSource>();
        const Failure opened = file->open(AT_FDCWD, path, Walk::safe_owners);
        update = std::move(file);
        return opened;
    }
    auto verified = std::make_unique<VerifiedSource>(*expected);
    Failure opened = verified->open(AT_FDCWD, path, Walk::safe_owners);
    if (!opened.failed())
        opened = verified->verify();
    update = std::move(verified);
    return opened;
}

// The whole install of one file under the run's lock: a batch of one,
// each step flushed.
InstallResult install_file(const char* path, const Sha256* expected, const RunLock& lock) {
    const InstallSettings settings;
    DiskWorld disk(settings, [&lock] { return lock.still_held(); });
    Batch batch(disk, {1, 0});
    std::unique_ptr<UpdateSource> update;
    if (const Failure opened = open_update(path, expected, update); opened.failed())
        (void)batch.add_failed(path, opened);
    else
        (void)batch.add(path, update);
    write_and_commit(batch, FlushSchedule::each_file);
    return batch.result(0);
}

} // namespace

// Installs the update named by argv[1] and prints the one line that reports
// the outcome. Returns the exit status: 0 when the file was installed or was
// already current, 1 when the run was refused or failed, or when its line
// could not be written.
int install_update(int argc, char** argv) {
    if (!open_standard_descriptors())
        return 1;
    ignore_write_signals();
    ignore_lease_breaks();
    // Anyone may ask for the version or the usage, as the only argument;
    // any other single argument is a path.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return print_version("vora-dict-update");
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(msg_usage, "vora-dict-update");
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (getuid() != 0) {
        (void)std::fputs(msg_need_root, stdout);
        return finish_line(1);
    }
    if (argc != 2) {
        std::printf(msg_usage, argc > 0 ? argv[0] : "vora-dict-update");
        return finish_line(1);
    }
    // No run writes without the lock.
    const RunLock lock = take_run_lock();
    if (lock.state() != LockState::taken) {
        (void)std::fputs(msg_write_failed, stdout);
        return finish_line(1);
    }
    TreeManifest trust;
    const Sha256* expected = nullptr;
    if (!trusted_digest(argv[1], trust, expected)) {
        (void)std::fputs(msg_cannot_open_update, stdout);
        return finish_line(1);
    }
    const int status = report(install_file(argv[1], expected, lock), last_component(argv[1]));
    // A stopping signal that arrived during the rewrite takes effect now.
    release_signals();
    return status;
}

int main(int argc, char** argv) {
    return install_update(argc, argv);
}
