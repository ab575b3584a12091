// The tree command's run over a directory: its manifest judged, the lock
// taken, its files listed once the lock is held, and installed in batches.
#include "commands.h"

#include "run.h"
#include "tree_run.h"
#include "verified_source.h"
#include "verify_run.h"

#include <memory>

namespace {

// The second core hashes the large files of a manifest ahead of the install.
std::unique_ptr<Prehasher> hash_ahead(const std::vector<TreeFile>& files, int top,
                                      std::size_t ahead) {
    std::unique_ptr<Prehasher> prehasher;
    for (const TreeFile& file : files) {
        if (file.digest == nullptr || file.status.st_size < LEASE_FROM || ahead == 0)
            continue;
        if (!prehasher)
            prehasher = std::make_unique<Prehasher>(top, ahead);
        prehasher->want(file.path);
    }
    return prehasher;
}

} // namespace

int run_tree(const Options& options, int top, const TrustedKeys& keys,
             const BatchCapacity& capacity) {
    const TreeManifest trust = read_tree_manifest(top, keys, options.trust);
    if (trust.refusal.refused())
        return refuse_trust(options.format, trust.refusal);
    // The tree is listed once the lock is held, so that what is installed is
    // what the tree holds then, however long the run waited.
    std::optional<RunLock> lock;
    if (const int status = take_lock(options, trust, lock); status >= 0)
        return status;
    std::size_t excluded = 0;
    std::vector<TreeFile> files = list_tree(top, options.excluded, excluded);
    if (trust.present)
        apply_manifest(trust.manifest, options.excluded, files);
    off_t total_bytes = 0;
    for (const TreeFile& file : files)
        total_bytes += bytes_to_install(file);
    const std::unique_ptr<Prehasher> prehasher = hash_ahead(files, top, capacity.ahead);
    Progress progress(files.size(), total_bytes, plain_terminal());
    Output output{options, progress, {}, 0};
    output.counts.excluded = excluded;
    RunWorld world(options, lock);
    Batch batch(*world, {std::max<std::size_t>(prehasher ? capacity.hashed : capacity.files, 1),
                         BATCH_BYTES});
    install_tree({files, top, prehasher.get()}, batch, progress,
                 [&output](std::span<const std::string> paths, const Batch& done) {
                     output.lines(paths.size(), [&](std::size_t i) {
                         return std::pair<const std::string&, const InstallResult&>(paths[i],
                                                                                    done.result(i));
                     });
                 });
    return finish(options, files.size(), output, trust);
}

int verify_tree_command(const Options& options, int top, const TrustedKeys& keys) {
    const TreeManifest trust = read_tree_manifest(top, keys, options.trust);
    if (trust.refusal.refused())
        return refuse_trust(options.format, trust.refusal);
    VerifyOutput output{options, {}, 0};
    std::vector<TreeFile> files = list_tree(top, options.excluded, output.counts.excluded);
    if (trust.present)
        apply_manifest(trust.manifest, options.excluded, files);
    verify_tree(files, top, [&output](std::string_view path, const Verified& verified) {
        output.line(path, verified);
    });
    return finish_verify(files.size(), output, trust);
}
