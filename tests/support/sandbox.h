// Runs the real vora-dict-update process against a private dictionary tree.
//
// The test process moves into a mount namespace of its own and mounts a
// fresh tmpfs over /usr/local/share there, so the tool's built-in root
// /usr/local/share/vora/Dictionary lies on a scratch file system that only
// this process and its children see, another over /run for the tool's
// lock file, and overlays over /etc and /var/lib whose changes go to
// scratch file systems, for trusted keys and recorded serials, with the
// machine's own /etc/vora-dict-update and /var/lib/vora-dict-update hidden:
// each test sees them absent until it puts them there. The machine's own
// tree, lock, keys and serials are never touched nor seen.
#pragma once

#include "test_files.h"

#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace testing_support {

inline constexpr char SHARE[] = "/usr/local/share";
inline constexpr char DICTIONARY[] = "/usr/local/share/vora/Dictionary";
inline constexpr char RUN_LOCK[] = "/run/vora-dict-update.lock";
inline constexpr char TRUST_ROOT[] = "/etc";     // below it, the trusted keys
inline constexpr char STATE_ROOT[] = "/var/lib"; // and the serials recorded
inline constexpr char TRUSTED_KEYS[] = "/etc/vora-dict-update/trusted-keys";
inline constexpr char SERIALS[] = "/var/lib/vora-dict-update/serials";

struct RunOptions {
    std::optional<std::string> argv0;   // the program name as invoked; the binary's path if unset
    std::optional<uid_t> real_uid;      // real user ID (effective stays as effective_uid)
    std::optional<uid_t> effective_uid; // set together with real_uid
    mode_t umask = 022;
    std::optional<off_t> file_size_limit;   // RLIMIT_FSIZE
    std::optional<rlim_t> open_files_limit; // RLIMIT_NOFILE, soft and hard
    bool open_files_soft_only = false;      // with open_files_limit: the hard limit stays
    bool ignore_sigxfsz = true;             // with file_size_limit: SIGXFSZ ignored
    std::vector<std::string> environment{"PATH=/usr/bin:/bin"};
    std::optional<std::string> faults;     // rules for the fault injector, see fault_injector.cpp
    std::optional<std::string> stdout_to;  // a file for standard output instead of the capture
    std::optional<std::string> stdin_from; // a file for standard input instead of /dev/null
    bool stdin_piped = false;              // with stdin_from: its bytes come through a pipe
    std::vector<int> closed;               // descriptors closed before the program starts
    bool without_proc = false;             // /proc is not mounted where the program runs
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;      // exit status, or -(signal number)
    long peak_memory = 0; // the largest resident set, in KiB
};

// The vora-dict-update binary under test.
std::string tool();

// The fault injector, for LD_PRELOAD (see fault_injector.cpp).
std::string fault_injector();

class Sandbox {
  public:
    // tmpfs_options: mount options of the scratch file system, e.g. "size=1m".
    // make_root: create the dictionary root (and /usr/local/share/vora).
    explicit Sandbox(const std::string& tmpfs_options = "mode=0755", bool make_root = true);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The directory holding the update tree; the tool runs with it as its
    // current directory.
    const std::string& updates() const { return updates_; }
    std::string update_path(const std::string& relative) const { return updates_ + "/" + relative; }
    // Where runs leave their output.
    const std::string& scratch() const { return scratch_.path(); }
    static std::string installed_path(const std::string& relative) {
        return std::string(DICTIONARY) + "/" + relative;
    }

    // Writes an update file, making its directories.
    void put_update(const std::string& relative, std::string_view bytes) const;
    // Writes an installed dictionary file, making its directories.
    static void put_installed(const std::string& relative, std::string_view bytes,
                              mode_t mode = 0644);

    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) const;
    // Runs `binary` instead of the tool.
    RunResult run_program(const std::string& binary, const std::vector<std::string>& args,
                          const RunOptions& options = {}) const;

    // A copy of a program (by default the tool) that any user may execute,
    // for runs without root.
    std::string world_executable_tool(const std::string& binary = tool()) const;

  private:
    ScratchDir scratch_;
    std::string updates_;
};

// Runs binary with args in directory, its standard output and error caught
// in files below scratch, and waits for it. A run that takes more than a
// minute is ended by SIGALRM, so that a hang fails the test.
RunResult run_process(const std::string& binary, const std::vector<std::string>& args,
                      const RunOptions& options, const std::string& directory,
                      const std::string& scratch);

// run_process in two halves, for runs that overlap.
pid_t start_process(const std::string& binary, const std::vector<std::string>& args,
                    const RunOptions& options, const std::string& directory,
                    const std::string& scratch);
RunResult finish_process(pid_t pid, const std::string& scratch);

// The tree command's arguments naming the current directory (".") when
// they name no DIR or ARCHIVE: a run names what it installs.
std::vector<std::string> naming_the_tree(std::vector<std::string> args);

// Makes every missing directory on the way to path's parent.
void make_parents(const std::string& path);

// Mounts a fresh tmpfs with options at path, in the tests' mount namespace.
void mount_scratch(const char* path, const std::string& options);

} // namespace testing_support
