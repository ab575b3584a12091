// vora-dict-manifest [OPTION]... DIR: writes DIR/.vora-manifest, listing with
// its SHA-256 every file that vora-dict-update-tree would install from DIR
// (the same walk, in byte order), for the publisher to sign with minisign
// -Sm. A tree whose files and options are unchanged keeps its manifest and
// signature; a signature that no longer belongs to the manifest is removed.
// With --archive=FILE, packs the signed tree into the archive that hosts
// install from instead.
#include "digest.h"
#include "escaping.h"
#include "file_source.h"
#include "io.h"
#include "manifest.h"
#include "pack.h"
#include "program_version.h"
#include "trust.h"
#include "walk.h"

#include <array>
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
    "minisign -Sm DIR/.vora-manifest. A tree whose files and options are unchanged\n"
    "keeps its manifest and signature. With --archive, pack DIR into an archive.\n"
    "\n"
    "  --archive=FILE     write the tar archive FILE (.tar, .tar.gz, .tar.xz or .tar.zst):\n"
    "                     the manifest and its signature first, then the files that\n"
    "                     the manifest lists, each checked against it\n"
    "  --key=PUB          with --archive: the signature must verify by this minisign\n"
    "                     public key\n"
    "  --serial=N         the manifest's serial (default: the UTC time, YYYYMMDDHHMMSS,\n"
    "                     when anything changed); a host refuses a tree whose serial is\n"
    "                     lower than its last of the same key and name\n"
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
    KEY_OPTION,
    VERSION_OPTION
};

struct Options {
    std::optional<std::uint64_t> serial;
    std::optional<std::int64_t> expires;
    std::string name;
    std::vector<std::string> excluded;
    const char* directory = nullptr;
    std::optional<std::string> archive;
    std::optional<std::string> key;
};

int usage_error(const std::string& what) {
    (void)std::fprintf(stderr, "%s: %s (see --help)\n", PROGRAM, escaped(what).c_str());
    return 2;
}

int fail(const std::string& what, int error) {
    (void)std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, escaped(what).c_str(),
                       std::strerror(error));
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

// Takes one option's value; -1 to go on, else the exit status.
int take_option(int option, const char* value, Options& options) {
    std::int64_t expires = 0;
    std::uint64_t serial = 0;
    switch (option) {
    case SERIAL_OPTION:
        if (!parse_serial(value, serial))
            return usage_error(std::string("invalid --serial value '") + value + "'");
        options.serial = serial;
        return -1;
    case EXPIRES_OPTION:
        if (!parse_utc(value, expires))
            return usage_error(std::string("invalid --expires value '") + value +
                               "' (YYYY-MM-DDTHH:MM:SSZ)");
        // A manifest expired when it is written would be refused by every host.
        if (expires <= std::time(nullptr))
            return usage_error(std::string("--expires ") + value +
                               " is not in the future: every host would refuse the tree; give a "
                               "later time");
        options.expires = expires;
        return -1;
    case NAME_OPTION:
        if (!is_release_name(value))
            return usage_error(std::string("invalid --name value '") + value +
                               "' (letters, digits, '.', '-' and '_')");
        options.name = value;
        return -1;
    case EXCLUDE_OPTION:
        options.excluded.emplace_back(value);
        return -1;
    case KEY_OPTION:
        options.key = value;
        return -1;
    default:
        if (!compression_of(value))
            return usage_error(std::string("cannot tell the compression of '") + value +
                               "' (.tar, .tar.gz, .tar.xz or .tar.zst)");
        options.archive = value;
        return -1;
    }
}

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Options& options) {
    static const option long_options[] = {{"serial", required_argument, nullptr, SERIAL_OPTION},
                                          {"expires", required_argument, nullptr, EXPIRES_OPTION},
                                          {"name", required_argument, nullptr, NAME_OPTION},
                                          {"exclude", required_argument, nullptr, EXCLUDE_OPTION},
                                          {"archive", required_argument, nullptr, ARCHIVE_OPTION},
                                          {"key", required_argument, nullptr, KEY_OPTION},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, VERSION_OPTION},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int option = 0; (option = getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
        if (option == 'h')
            return print_help(USAGE);
        if (option == VERSION_OPTION)
            return print_version(PROGRAM);
        if (option == '?')
            return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        if (const int status = take_option(option, optarg, options); status >= 0)
            return status;
    }
    if (argc - optind != 1)
        return usage_error("one DIR is needed");
    const bool manifest_options = options.serial || options.expires || !options.name.empty();
    if (options.archive && manifest_options)
        return usage_error("--archive packs the manifest that is there: no --serial, --expires "
                           "or --name");
    if (options.key && !options.archive)
        return usage_error("--key checks the signature of what --archive packs");
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

// The manifest's lines for the files, as sha256sum prints them, and how
// many; -1 in listed when a file cannot be hashed (reported).
std::string file_lines(int top, const Options& options, long& listed) {
    std::size_t excluded = 0;
    std::string lines;
    listed = 0;
    for (const TreeFile& file : list_tree(top, options.excluded, excluded)) {
        // What the tree command would not install is not listed.
        if (file.entry != TreeEntry::regular) {
            (void)std::fprintf(stderr, "%s: %s: not a regular file, not listed\n", PROGRAM,
                               escaped(file.path).c_str());
            continue;
        }
        Sha256 digest{};
        if (const int error = digest_of(top, file, digest)) {
            listed = -1;
            (void)fail(file.path, error);
            return lines;
        }
        lines += manifest_line(digest, file.path);
        ++listed;
    }
    return lines;
}

// The serial that the manifest there has, when it parses.
std::optional<std::uint64_t> serial_there(const TopFile& there) {
    if (!there.text)
        return std::nullopt;
    ParsedManifest parsed = parse_manifest(std::string(*there.text));
    return parsed.manifest ? std::optional(parsed.manifest->serial) : std::nullopt;
}

// Removes a signature that no longer belongs to the manifest, and says so.
void remove_stale_signature(int top, const std::string& directory) {
    const std::string signature(SIGNATURE_NAME);
    if (unlinkat(top, signature.c_str(), 0) != 0)
        return;
    (void)std::fprintf(stderr,
                       "%s: %s/%s: removed: it signed the manifest as it was (sign anew: minisign "
                       "-Sm %s/%s)\n",
                       PROGRAM, escaped(directory).c_str(), signature.c_str(),
                       escaped(directory).c_str(), std::string(MANIFEST_NAME).c_str());
}

int write_manifest(int top, const Options& options) {
    long listed = 0;
    const std::string lines = file_lines(top, options, listed);
    if (listed < 0)
        return 1;
    const TopFile there = read_top_file(top, MANIFEST_NAME, MOST_MANIFEST_BYTES);
    // The serial stays while nothing changes: the same bytes, the same signature.
    const std::uint64_t kept = options.serial.value_or(serial_there(there).value_or(0));
    const std::string same = manifest_header({kept, options.expires, options.name}) + lines;
    const bool unchanged = there.text && *there.text == same;
    const std::uint64_t serial = unchanged ? kept : options.serial.value_or(time_serial());
    const std::string text = manifest_header({serial, options.expires, options.name}) + lines;
    const std::string where = std::string(options.directory) + "/" + std::string(MANIFEST_NAME);
    if (!unchanged) {
        if (const int error = replace_file(
                top, std::string(MANIFEST_NAME).c_str(),
                {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, 0644))
            return fail(where, error);
        remove_stale_signature(top, options.directory);
    }
    std::printf("%s: %s, serial %llu%s\n", escaped(where).c_str(),
                files_text(static_cast<std::size_t>(listed)).c_str(),
                static_cast<unsigned long long>(serial), unchanged ? ", unchanged" : "");
    return std::fflush(stdout) == 0 ? 0 : 1;
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
        return pack_archive(
            {*options.archive, top.get(), options.directory, options.excluded, options.key});
    return write_manifest(top.get(), options);
}
