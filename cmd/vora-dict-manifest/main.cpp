// vora-dict-manifest [--serial=N] [--expires=TIME] [--exclude=PATTERN]... DIR:
// writes DIR/.vora-manifest, listing with its SHA-256 every file that
// vora-dict-update-tree would install from DIR (the same walk, in byte
// order), for the publisher to sign with minisign -Sm. With --archive=FILE,
// packs the signed tree into the archive that hosts install from instead.
#include "digest.h"
#include "file_source.h"
#include "io.h"
#include "manifest.h"
#include "pack.h"
#include "program_version.h"
#include "walk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr char PROGRAM[] = "vora-dict-manifest";

constexpr char USAGE[] =
    "Usage: vora-dict-manifest [OPTION]... DIR\n"
    "Write DIR/.vora-manifest: the SHA-256 of every file that vora-dict-update-tree\n"
    "would install from DIR, as sha256sum prints it, for signing with\n"
    "minisign -Sm DIR/.vora-manifest. With --archive, pack DIR into an archive instead.\n"
    "\n"
    "  --archive=FILE     write the tar archive FILE (.tar, .tar.gz, .tar.xz or .tar.zst):\n"
    "                     the manifest and its signature first, then the files that\n"
    "                     the manifest lists, each checked against it\n"
    "  --serial=N         the manifest's serial (default: the UTC time, YYYYMMDDHHMMSS);\n"
    "                     a host refuses a tree whose serial is lower than its last\n"
    "  --expires=TIME     hosts refuse the tree after TIME (YYYY-MM-DDTHH:MM:SSZ, UTC)\n"
    "  --name=NAME        the tree's release line (letters, digits, '.', '-', '_'): hosts\n"
    "                     keep the serials of each line apart\n"
    "  --exclude=PATTERN  leave out what vora-dict-update-tree --exclude would; repeatable\n"
    "  -h, --help         print this help\n"
    "      --version      print the version\n";

enum LongOnly {
    SERIAL_OPTION = 256,
    EXPIRES_OPTION,
    NAME_OPTION,
    EXCLUDE_OPTION,
    ARCHIVE_OPTION,
    VERSION_OPTION
};

struct Options {
    std::uint64_t serial = 0;
    std::optional<std::int64_t> expires;
    std::string name;
    std::vector<std::string> excluded;
    const char* directory = nullptr;
    std::optional<std::string> archive;
    bool manifest_options = false; // --serial or --expires, which make a manifest
};

int usage_error(const std::string& what) {
    (void)std::fprintf(stderr, "%s: %s (see --help)\n", PROGRAM, what.c_str());
    return 2;
}

int fail(const std::string& what, int error) {
    (void)std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, what.c_str(), std::strerror(error));
    return 1;
}

// The UTC time as a serial: YYYYMMDDHHMMSS.
std::uint64_t time_serial() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    std::array<char, 16> text{};
    (void)std::strftime(text.data(), text.size(), "%Y%m%d%H%M%S", &parts);
    return std::strtoull(text.data(), nullptr, 10);
}

bool parse_serial(const char* text, std::uint64_t& serial) {
    char* end = nullptr;
    errno = 0;
    serial = std::strtoull(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0;
}

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Options& options) {
    static const option long_options[] = {{"serial", required_argument, nullptr, SERIAL_OPTION},
                                          {"expires", required_argument, nullptr, EXPIRES_OPTION},
                                          {"name", required_argument, nullptr, NAME_OPTION},
                                          {"exclude", required_argument, nullptr, EXCLUDE_OPTION},
                                          {"archive", required_argument, nullptr, ARCHIVE_OPTION},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, VERSION_OPTION},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    options.serial = time_serial();
    for (int option = 0; (option = getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
        std::int64_t expires = 0;
        switch (option) {
        case SERIAL_OPTION:
            options.manifest_options = true;
            if (!parse_serial(optarg, options.serial))
                return usage_error(std::string("invalid --serial value '") + optarg + "'");
            break;
        case EXPIRES_OPTION:
            options.manifest_options = true;
            if (!parse_utc(optarg, expires))
                return usage_error(std::string("invalid --expires value '") + optarg +
                                   "' (YYYY-MM-DDTHH:MM:SSZ)");
            options.expires = expires;
            break;
        case NAME_OPTION:
            options.manifest_options = true;
            if (!is_release_name(optarg))
                return usage_error(std::string("invalid --name value '") + optarg +
                                   "' (letters, digits, '.', '-' and '_')");
            options.name = optarg;
            break;
        case EXCLUDE_OPTION:
            options.excluded.emplace_back(optarg);
            break;
        case ARCHIVE_OPTION:
            if (compression_of(optarg) == Compression::unknown)
                return usage_error(std::string("cannot tell the compression of '") + optarg +
                                   "' (.tar, .tar.gz, .tar.xz or .tar.zst)");
            options.archive = optarg;
            break;
        case 'h':
            return print_help(USAGE);
        case VERSION_OPTION:
            return print_version(PROGRAM);
        default:
            return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (argc - optind != 1)
        return usage_error("one DIR is needed");
    if (options.archive && options.manifest_options)
        return usage_error("--archive packs the manifest that is there: no --serial or --expires");
    options.directory = argv[optind];
    return -1;
}

// The SHA-256 of the file at path below top, as it lies in the tree.
int digest_of(int top, const TreeFile& file, Sha256& digest) {
    FileSource update;
    if (const Failure opened = update.open(top, file.path.c_str(), Walk::beneath | Walk::no_links);
        opened.failed())
        return opened.error != 0 ? opened.error : EINVAL;
    const Digested hashed = ::digest_of(update);
    if (hashed.error != 0)
        return hashed.error;
    if (!hashed.digest)
        return EIO;
    digest = *hashed.digest;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse_options(argc, argv, options); status >= 0)
        return status;
    const UniqueFd top(open(options.directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top.valid())
        return fail(options.directory, last_error());
    if (options.archive)
        return pack_archive(*options.archive, top.get(), options.directory, options.excluded);
    std::size_t excluded = 0;
    const std::vector<TreeFile> files = list_tree(top.get(), options.excluded, excluded);
    std::string text = manifest_header({options.serial, options.expires, options.name});
    std::size_t listed = 0;
    for (const TreeFile& file : files) {
        // What the tree command would not install is not listed.
        if (file.entry != TreeEntry::regular) {
            (void)std::fprintf(stderr, "%s: %s: not a regular file, not listed\n", PROGRAM,
                               file.path.c_str());
            continue;
        }
        Sha256 digest{};
        if (const int error = digest_of(top.get(), file, digest))
            return fail(file.path, error);
        text += manifest_line(digest, file.path);
        ++listed;
    }
    if (const int error =
            replace_file(top.get(), std::string(MANIFEST_NAME).c_str(),
                         {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, 0644))
        return fail(std::string(options.directory) + "/" + std::string(MANIFEST_NAME), error);
    std::printf("%s/%s: %zu files, serial %llu\n", options.directory,
                std::string(MANIFEST_NAME).c_str(), listed,
                static_cast<unsigned long long>(options.serial));
    return std::fflush(stdout) == 0 ? 0 : 1;
}
