#include "sandbox.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

namespace {

void enter_private_mount_namespace() {
    static bool entered = false;
    if (entered)
        return;
    if (unshare(CLONE_NEWNS) != 0)
        throw std::runtime_error(std::string("unshare(CLONE_NEWNS) failed (the end-to-end tests "
                                             "must run as root): ") +
                                 std::strerror(errno));
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        throw std::runtime_error(std::string("making / private failed: ") + std::strerror(errno));
    entered = true;
}

bool is_scratch_tmpfs(const char* path) {
    struct statfs fs {};
    return statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

// A pipe's reading end, which a process of its own fills with the bytes of
// the file at path, as a shell's `cat FILE |` would.
int piped_from(const std::string& path) {
    std::array<int, 2> ends{};
    if (pipe(ends.data()) != 0)
        return -1;
    if (fork() == 0) {
        close(ends[0]);
        const std::string bytes = read_file(path);
        (void)!write(ends[1], bytes.data(), bytes.size());
        _exit(0);
    }
    close(ends[1]);
    return ends[0];
}

[[noreturn]] void child_fail(const char* what) {
    const std::string line =
        std::string("test child: ") + what + ": " + std::strerror(errno) + "\n";
    (void)!write(2, line.data(), line.size());
    _exit(127);
}

} // namespace

std::vector<std::string> naming_the_tree(std::vector<std::string> args) {
    const bool named = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
        return arg == "-" || !arg.starts_with('-');
    });
    if (!named)
        args.emplace_back(".");
    return args;
}

void make_parents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
}

void mount_scratch(const char* path, const std::string& options) {
    if (mount("vdu-test", path, "tmpfs", 0, options.c_str()) != 0)
        throw std::runtime_error(std::string("mounting a scratch tmpfs over ") + path +
                                 " failed: " + std::strerror(errno));
}

// An overlay over dir whose writes go to a scratch tmpfs at changes: the
// machine's own files show through, but for hidden, which the overlay
// hides behind a whiteout (absent until the test makes it), and none of them
// is ever changed.
void overlay_over(const char* dir, const std::string& changes, const char* hidden) {
    mkdir(changes.c_str(), 0755);
    mount_scratch(changes.c_str(), "mode=0755");
    mkdir((changes + "/upper").c_str(), 0755);
    mkdir((changes + "/work").c_str(), 0755);
    if (mknod((changes + "/upper/" + hidden).c_str(), S_IFCHR, makedev(0, 0)) != 0)
        throw std::runtime_error(std::string("hiding ") + dir + "/" + hidden +
                                 " failed: " + std::strerror(errno));
    const std::string options = std::string("lowerdir=") + dir + ",upperdir=" + changes +
                                "/upper,workdir=" + changes + "/work";
    if (mount("vdu-test", dir, "overlay", 0, options.c_str()) != 0)
        throw std::runtime_error(std::string("mounting an overlay over ") + dir +
                                 " failed: " + std::strerror(errno));
}

Sandbox::Sandbox(const std::string& tmpfs_options, bool make_root) {
    enter_private_mount_namespace();
    mount_scratch(SHARE, tmpfs_options);
    if (!is_scratch_tmpfs(SHARE))
        throw std::runtime_error("the scratch tmpfs is not in place");
    mount_scratch("/run", "mode=0755");
    // Trusted keys and recorded serials, as the test puts them: the
    // machine's own are hidden, whatever it holds.
    overlay_over(TRUST_ROOT, scratch_ / "etc", "vora-dict-update");
    overlay_over(STATE_ROOT, scratch_ / "var-lib", "vora-dict-update");
    chmod(SHARE, 0755);
    if (make_root) {
        make_parents(std::string(DICTIONARY) + "/");
    }
    updates_ = scratch_ / "updates";
    mkdir(updates_.c_str(), 0755);
}

Sandbox::~Sandbox() {
    umount2(STATE_ROOT, MNT_DETACH);
    umount2(TRUST_ROOT, MNT_DETACH);
    umount2((scratch_ / "var-lib").c_str(), MNT_DETACH);
    umount2((scratch_ / "etc").c_str(), MNT_DETACH);
    umount2("/run", MNT_DETACH);
    umount2(SHARE, MNT_DETACH);
}

void Sandbox::put_update(const std::string& relative, std::string_view bytes) const {
    const std::string path = update_path(relative);
    make_parents(path);
    write_file(path, bytes);
}

void Sandbox::put_installed(const std::string& relative, std::string_view bytes, mode_t mode) {
    const std::string path = installed_path(relative);
    make_parents(path);
    write_file(path, bytes, mode);
}

std::string Sandbox::world_executable_tool(const std::string& binary) const {
    std::string copy = scratch_ / "world-executable";
    write_file(copy, read_file(binary), 0755);
    return copy;
}

std::string tool() {
    return VDU_BINARY;
}

std::string fault_injector() {
    return VDU_FAULT_INJECTOR;
}

RunResult Sandbox::run(const std::vector<std::string>& args, const RunOptions& options) const {
    return run_program(VDU_BINARY, args, options);
}

RunResult Sandbox::run_program(const std::string& binary, const std::vector<std::string>& args,
                               const RunOptions& options) const {
    // The tool may touch the dictionary root only while the scratch tmpfs covers it.
    if (!is_scratch_tmpfs(SHARE))
        throw std::runtime_error("refusing to run the tool outside the scratch tmpfs");
    return run_process(binary, args, options, updates_, scratch_.path());
}

RunResult run_process(const std::string& binary, const std::vector<std::string>& args,
                      const RunOptions& options, const std::string& directory,
                      const std::string& scratch) {
    return finish_process(start_process(binary, args, options, directory, scratch), scratch);
}

pid_t start_process(const std::string& binary, const std::vector<std::string>& args,
                    const RunOptions& options, const std::string& directory,
                    const std::string& scratch) {
    const std::string out_path = options.stdout_to.value_or(scratch + "/stdout");
    const std::string err_path = scratch + "/stderr";
    std::vector<std::string> argv_text{options.argv0.value_or(binary)};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(argv_text.size() + 1);
    for (std::string& arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = options.environment;
    if (options.faults) {
        env_text.push_back(std::string("LD_PRELOAD=") + VDU_FAULT_INJECTOR);
        env_text.push_back("VDU_FAULTS=" + *options.faults);
        // A sanitized build would otherwise object to a library loaded before its runtime.
        env_text.emplace_back("ASAN_OPTIONS=verify_asan_link_order=0");
        // Where a test's author lists the calls a run makes, to write its rules.
        if (const char* log = std::getenv("VDU_FAULT_LOG"))
            env_text.push_back(std::string("VDU_FAULT_LOG=") + log);
    }
    std::vector<char*> envp;
    envp.reserve(env_text.size() + 1);
    for (std::string& var : env_text)
        envp.push_back(var.data());
    envp.push_back(nullptr);

    if (options.stdout_to)
        write_file(scratch + "/stdout", "");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        umask(options.umask);
        if (chdir(directory.c_str()) != 0)
            child_fail("chdir");
        const std::string in_path = options.stdin_from.value_or("/dev/null");
        const int in = options.stdin_piped ? piped_from(in_path) : open(in_path.c_str(), O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            child_fail("redirect");
        if (options.open_files_limit) {
            rlimit limit{*options.open_files_limit, *options.open_files_limit};
            if (options.open_files_soft_only && getrlimit(RLIMIT_NOFILE, &limit) == 0)
                limit.rlim_cur = *options.open_files_limit;
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                child_fail("setrlimit");
        }
        if (options.file_size_limit) {
            (void)signal(SIGXFSZ, options.ignore_sigxfsz ? SIG_IGN : SIG_DFL);
            // The soft limit only: the one that a write meets.
            const rlimit limit{static_cast<rlim_t>(*options.file_size_limit), RLIM_INFINITY};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                child_fail("setrlimit");
        }
        if (options.without_proc &&
            (unshare(CLONE_NEWNS) != 0 || umount2("/proc", MNT_DETACH) != 0))
            child_fail("unmounting /proc");
        if (options.real_uid) {
            const uid_t effective = options.effective_uid.value_or(*options.real_uid);
            if (setgroups(0, nullptr) != 0 ||
                setresgid(*options.real_uid, effective, effective) != 0 ||
                setresuid(*options.real_uid, effective, effective) != 0)
                child_fail("dropping privileges");
        }
        // Nothing of the tests' own reaches the program, as from a shell.
        close_range(3, ~0U, 0);
        for (const int fd : options.closed)
            close(fd);
        alarm(60);
        execve(binary.c_str(), argv.data(), envp.data());
        child_fail("execve");
    }
    return pid;
}

RunResult finish_process(pid_t pid, const std::string& scratch) {
    int wait_status = 0;
    rusage usage{};
    if (wait4(pid, &wait_status, 0, &usage) != pid)
        throw std::runtime_error("waitpid failed");
    RunResult result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -WTERMSIG(wait_status);
    result.peak_memory = usage.ru_maxrss;
    result.out = read_file(scratch + "/stdout");
    result.err = read_file(scratch + "/stderr");
    return result;
}

} // namespace testing_support
