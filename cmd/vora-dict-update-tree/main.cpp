// vora-dict-update-tree [OPTION]... DIR | ARCHIVE: installs every file of
// an update tree, or every member of a publisher's tar archive, as
// vora-dict-update would install it, one line a file (English or JSON) and
// a summary.
#include "commands.h"
#include "options.h"
#include "process.h"
#include "report.h"
#include "resolve.h"
#include "trust.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The argument, resolved one component at a time, a link followed only when
// root owns it: a link that another user owns could point the run at a
// directory or file of root's, whose files would then be installed for all
// to read. A directory is opened for listing, a regular file for reading.
// The directory for a private copy of a piped archive: $TMPDIR when it
// names one, else /var/tmp, which holds large files.
const char* private_directory() {
    const char* named = std::getenv("TMPDIR");
    return named != nullptr && named[0] == '/' ? named : "/var/tmp";
}

// Standard input as the archive: a file that it is redirected from is read
// as that file; a pipe is first copied into a private file (no name, root's
// alone), so that it can be proved whole and read again like a file.
int open_standard_input(const Options& options, Argument& argument) {
    struct stat status {};
    if (const int error = status_of(STDIN_FILENO, status))
        return refuse(options.format, "standard input", std::strerror(error));
    if (S_ISREG(status.st_mode)) {
        argument.fd = UniqueFd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
        argument.status = status;
        return -1;
    }
    if (S_ISDIR(status.st_mode))
        return refuse(options.format, "standard input", "a directory, not an archive");
    UniqueFd copy(open(private_directory(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
    if (!copy.valid())
        return refuse(options.format,
                      std::string("cannot copy standard input into ") + private_directory(),
                      std::strerror(last_error()));
    if (const int error = copy_all(STDIN_FILENO, copy.get()))
        return refuse(options.format, "cannot copy standard input", std::strerror(error));
    if (lseek(copy.get(), 0, SEEK_SET) != 0 || status_of(copy.get(), argument.status) != 0)
        return refuse(options.format, "cannot read the copy of standard input",
                      std::strerror(last_error()));
    argument.fd = std::move(copy);
    return -1;
}

int open_argument(const Options& options, Argument& argument) {
    if (std::strcmp(options.directory, "-") == 0)
        return open_standard_input(options, argument);
    Resolved located = resolve({AT_FDCWD, options.directory, Walk::root_links, O_PATH});
    if (!located.ok())
        return refuse(options.format, escaped(located.failure().where),
                      located.link() ? "a symbolic link that another user owns"
                                     : std::strerror(located.error()));
    const UniqueFd found = located.take();
    if (const int error = status_of(found.get(), argument.status))
        return refuse(options.format, escaped(options.directory), std::strerror(error));
    if (S_ISDIR(argument.status.st_mode)) {
        argument.fd = UniqueFd(openat(found.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!argument.fd.valid())
            return refuse(options.format, escaped(options.directory), std::strerror(last_error()));
        return -1;
    }
    if (!S_ISREG(argument.status.st_mode))
        return refuse(options.format, escaped(options.directory),
                      "neither a directory nor an archive");
    Opened opened =
        open_regular(found.get(), {AT_FDCWD, options.directory, Walk::root_links, O_RDONLY});
    if (!opened.fd.valid())
        return refuse(options.format, escaped(options.directory),
                      opened.not_regular ? "neither a directory nor an archive"
                                         : std::strerror(opened.error));
    argument.fd = std::move(opened.fd);
    argument.status = opened.status;
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (!open_standard_descriptors())
        return 2;
    ignore_write_signals();
    ignore_lease_breaks();
    Options options;
    if (const int status = parse_options(argc, argv, options); status >= 0)
        return status;
    // A verification only reads: any user may run it, on what they can read.
    if (getuid() != 0 && !options.verify)
        return refuse(options.format, "must be run as root");
    const BatchCapacity capacity = batch_capacity(options.dry_run ? LockTaken::no : LockTaken::yes);
    if (capacity.files == 0)
        return refuse(options.format, "too few file descriptors",
                      "raise the limit of open files (ulimit -n)");
    Argument argument;
    if (const int status = open_argument(options, argument); status >= 0)
        return status;
    // Whom the run trusts is settled before anything is locked or written.
    const TrustedKeys keys = load_trusted_keys(options.keys);
    if (keys.refusal.refused())
        return refuse_trust(options.format, keys.refusal);
    options.trust.now = std::time(nullptr);
    if (options.verify)
        return S_ISDIR(argument.status.st_mode)
                   ? verify_tree_command(options, argument.fd.get(), keys)
                   : verify_archive_command(options, argument, keys);
    if (S_ISDIR(argument.status.st_mode))
        return run_tree(options, argument.fd.get(), keys, capacity);
    return run_archive(options, argument, keys, capacity);
}
