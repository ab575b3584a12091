#include "options.h"

#include "program_version.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace {

constexpr char USAGE[] =
    "Usage: vora-dict-update-tree [OPTION]... DIR | ARCHIVE\n"
    "Install every file below DIR (\".\" for the current directory) at the same\n"
    "relative path below /usr/local/share/vora/Dictionary, as vora-dict-update\n"
    "would, skipping entries whose names start with \".\". One line a file, then\n"
    "a summary. ARCHIVE, a tar archive (plain, gzip, xz or zstd; - for standard\n"
    "input), installs its members as the files of the tree it unpacks to,\n"
    "without unpacking it.\n"
    "\n"
    "      --verify           compare the installed copy of each file with what the\n"
    "                         tree or archive installs there, and change nothing\n"
    "  -n, --dry-run          print what would be done, and change nothing\n"
    "  -f, --force            install every file whatever the versions (to roll back)\n"
    "  -q, --quiet            print only the failed files (with --verify, the files\n"
    "                         that are not ok) and the summary\n"
    "      --json             print JSON Lines: an object a file, then a summary object\n"
    "      --exclude=PATTERN  leave out files and directories whose name or relative\n"
    "                         path matches PATTERN (shell wildcards); repeatable\n"
    "      --wait=SECONDS     give up when another install holds the lock that long\n"
    "                         (default: wait until it ends)\n"
    "      --key=FILE         trust the minisign public key in FILE too; repeatable\n"
    "      --allow-rollback   install a signed tree whose serial is lower than the\n"
    "                         one recorded for its key\n"
    "      --allow-expired    install a signed tree past its manifest's expiry\n"
    "      --name=NAME        accept only a manifest of the release line NAME\n"
    "  -h, --help             print this help\n"
    "      --version          print the version\n"
    "\n"
    "Exit status: 0 when no file failed (with --verify: when every file is ok), 1\n"
    "when any did (is not), 2 when the run is refused.\n";

enum LongOnly {
    JSON_OPTION = 256,
    EXCLUDE_OPTION,
    WAIT_OPTION,
    KEY_OPTION,
    ALLOW_ROLLBACK_OPTION,
    ALLOW_EXPIRED_OPTION,
    NAME_OPTION,
    VERIFY_OPTION,
    VERSION_OPTION
};

} // namespace

int refuse(Format format, const std::string& what, const std::string& why,
           const Refusal& distrust) {
    const std::string message = what + (why.empty() ? "" : ": " + why);
    (void)std::fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str());
    if (format == Format::json) {
        report_refusal(message, distrust);
        (void)std::fflush(stdout);
    }
    return 2;
}

namespace {

// What an administrator can do about a tree that is not trusted.
std::string way_out(Distrust why) {
    switch (why) {
    case Distrust::expired:
        return "; --allow-expired installs it all the same";
    case Distrust::rollback:
        return "; --allow-rollback installs it, and the higher serial stays recorded";
    case Distrust::unknown_key:
        return std::string("; trust its publisher's public key in ") + TRUSTED_KEYS_DIRECTORY +
               "/NAME.pub (root's, not writable by others), or name it with --key=FILE";
    case Distrust::unsigned_tree:
        return "; with keys trusted a tree needs .vora-manifest and its signature "
               ".vora-manifest.minisig at its top (vora-dict-manifest DIR, then minisign -Sm "
               "DIR/.vora-manifest)";
    case Distrust::bad_serials:
        return std::string("; repair or remove ") + SERIALS_PATH +
               " as root (see SERIALS in vora-dict-update-tree(8))";
    default:
        return "";
    }
}

} // namespace

int refuse_trust(Format format, const Refusal& distrust) {
    return refuse(format, escaped(distrust.message) + way_out(distrust.why), "", distrust);
}

namespace {

constexpr option LONG_OPTIONS[] = {{"dry-run", no_argument, nullptr, 'n'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"json", no_argument, nullptr, JSON_OPTION},
                                   {"exclude", required_argument, nullptr, EXCLUDE_OPTION},
                                   {"wait", required_argument, nullptr, WAIT_OPTION},
                                   {"key", required_argument, nullptr, KEY_OPTION},
                                   {"allow-rollback", no_argument, nullptr, ALLOW_ROLLBACK_OPTION},
                                   {"allow-expired", no_argument, nullptr, ALLOW_EXPIRED_OPTION},
                                   {"name", required_argument, nullptr, NAME_OPTION},
                                   {"verify", no_argument, nullptr, VERIFY_OPTION},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, VERSION_OPTION},
                                   {nullptr, 0, nullptr, 0}};

// The long option that --name names, as getopt_long takes it: the whole name
// or a prefix of only one; nullptr for none.
const option* long_option(std::string_view name) {
    const option* found = nullptr;
    int prefixed = 0;
    for (const option* o = LONG_OPTIONS; o->name != nullptr; ++o) {
        if (name == o->name)
            return o;
        if (std::string_view(o->name).starts_with(name)) {
            found = o;
            ++prefixed;
        }
    }
    return prefixed == 1 ? found : nullptr;
}

// Whether the command line asks for JSON, looked up before the options are
// parsed, so that a refusal of any of them is a JSON line too. An argument
// counts where the parser would take it as the option: not as the value of
// --exclude or --wait before it, nor after "--".
Format format_asked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (!arg.starts_with("--") || arg.size() == 2)
            continue;
        const std::size_t equals = arg.find('=');
        const option* found = long_option(arg.substr(2, equals - 2));
        if (found == nullptr || equals != std::string_view::npos)
            continue;
        if (found->has_arg == required_argument)
            ++i; // its value is the next argument, whatever it looks like
        else if (found->val == JSON_OPTION)
            return Format::json;
    }
    return Format::english;
}

// A number of seconds, not negative; false for anything else.
// Seconds in decimal: digits, then an optional fraction ("2", "0.5"); no
// sign, exponent, hexadecimal or infinity, whatever strtod would take.
bool parse_seconds(const char* text, double& seconds) {
    const std::string_view digits = text;
    const std::size_t point = digits.find('.');
    const auto all_digits = [](std::string_view part) {
        return !part.empty() && part.size() <= 9 &&
               std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!all_digits(digits.substr(0, point)) ||
        (point != std::string_view::npos && !all_digits(digits.substr(point + 1))))
        return false;
    seconds = std::strtod(text, nullptr);
    return true;
}

} // namespace

namespace {

// Takes an option that needs no value checked.
void take_flag(int option, Options& options) {
    switch (option) {
    case 'n':
        options.dry_run = true;
        break;
    case 'f':
        options.force = true;
        break;
    case 'q':
        options.quiet = true;
        break;
    case ALLOW_ROLLBACK_OPTION:
        options.trust.allow_rollback = true;
        break;
    case ALLOW_EXPIRED_OPTION:
        options.trust.allow_expired = true;
        break;
    case VERIFY_OPTION:
        options.verify = true;
        options.trust.freshness = Freshness::reported;
        break;
    default: // --json, taken before the parse
        break;
    }
}

// Refuses the option that getopt did not take. optopt is 0 for an unknown
// long option, and one of ours for a long option given a value or missing
// one: either way the argument that was just passed names it as typed.
// Otherwise it is an unknown letter.
int refuse_unknown(const Options& options, char** argv) {
    if (optopt == 0 || optopt >= JSON_OPTION || std::strchr("nfqh", optopt) != nullptr)
        return refuse(options.format,
                      "unknown option '" + escaped(argv[optind - 1]) + "' (see --help)");
    return refuse(options.format, "unknown option '-" +
                                      escaped(std::string(1, static_cast<char>(optopt))) +
                                      "' (see --help)");
}

// Takes one option; -1 to go on, else the exit status.
int take_option(int option, char** argv, Options& options) {
    switch (option) {
    case EXCLUDE_OPTION:
        options.excluded.emplace_back(optarg);
        return -1;
    case KEY_OPTION:
        options.keys.emplace_back(optarg);
        return -1;
    case NAME_OPTION:
        if (!is_release_name(optarg))
            return refuse(options.format, "invalid --name value '" + escaped(optarg) +
                                              "' (letters, digits, '.', '-' and '_')");
        options.trust.name = optarg;
        return -1;
    case WAIT_OPTION:
        if (!parse_seconds(optarg, options.wait))
            return refuse(options.format,
                          "invalid --wait value '" + escaped(optarg) + "' (see --help)");
        return -1;
    case 'h':
        return print_help(USAGE);
    case VERSION_OPTION:
        return print_version(PROGRAM);
    case '?':
    case ':':
        return refuse_unknown(options, argv);
    default:
        take_flag(option, options);
        return -1;
    }
}

} // namespace

int parse_options(int argc, char** argv, Options& options) {
    options.format = format_asked(argc, argv);
    opterr = 0;
    for (int option = 0; (option = getopt_long(argc, argv, "nfqh", LONG_OPTIONS, nullptr)) != -1;)
        if (const int status = take_option(option, argv, options); status >= 0)
            return status;
    if (options.verify && (options.dry_run || options.force || options.trust.allow_rollback ||
                           options.trust.allow_expired))
        return refuse(options.format, "--verify changes nothing, and takes no -n, -f, "
                                      "--allow-rollback or --allow-expired (see --help)");
    if (argc - optind > 1)
        return refuse(options.format, "more than one directory given (see --help)");
    // A run names what it installs: "." is the current directory.
    if (argc - optind == 0) {
        (void)std::fputs(USAGE, stderr);
        return refuse(options.format, "no DIR or ARCHIVE given (\".\" is the current directory)");
    }
    options.directory = argv[optind];
    // An empty name is no directory, though the system would take it as the current one.
    if (*options.directory == '\0')
        return refuse(options.format, "the directory name is empty (see --help)");
    return -1;
}
