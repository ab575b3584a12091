#include "test_files.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <iconv.h>
#include <sstream>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const std::string& path, std::string_view bytes, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("cannot write " + path);
        done += static_cast<std::size_t>(n);
    }
    fchmod(fd, mode);
    close(fd);
}

bool exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        throw std::runtime_error("cannot list " + path);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

mode_t mode_of(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        throw std::runtime_error("cannot stat " + path);
    return status.st_mode & 07777;
}

std::string reference_encode(std::string_view plain) {
    constexpr std::size_t block = 8192;
    std::string encoded(plain.size(), '\0');
    for (std::size_t start = 0; start < plain.size(); start += block) {
        const std::size_t n = std::min(block, plain.size() - start);
        for (std::size_t j = 0; j < n; ++j)
            encoded[start + j] = static_cast<char>(~plain[start + n - 1 - j]);
    }
    return encoded;
}

std::string pseudo_random_bytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761U + 1;
    for (char& c : bytes) {
        state = state * 1103515245U + 12345U;
        c = static_cast<char>(state >> 16);
    }
    return bytes;
}

std::string euc_jp(std::string_view utf8) {
    iconv_t cd = iconv_open("EUC-JP", "UTF-8");
    if (cd ==
        reinterpret_cast<iconv_t>(-1)) // NOLINT(performance-no-int-to-ptr): iconv's error value
        throw std::runtime_error("iconv has no EUC-JP");
    std::string in(utf8);
    std::string out(in.size() * 2 + 8, '\0');
    char* in_ptr = in.data();
    std::size_t in_left = in.size();
    char* out_ptr = out.data();
    std::size_t out_left = out.size();
    const std::size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1))
        throw std::runtime_error("text not convertible to EUC-JP");
    out.resize(out.size() - out_left);
    return out;
}

ScratchDir::ScratchDir() {
    char name[] = "/tmp/vdu-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    chmod(name, 0755);
    path_ = name;
}

ScratchDir::~ScratchDir() {
    remove_tree(path_);
}

void remove_tree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int, struct FTW*) { return remove(entry); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

OpenWatch::OpenWatch(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ < 0 || inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0)
        throw std::runtime_error("cannot watch " + path);
}

OpenWatch::~OpenWatch() {
    close(fd_);
}

bool OpenWatch::opened() const {
    alignas(inotify_event) std::array<char, 4096> events{};
    return read(fd_, events.data(), events.size()) > 0;
}

} // namespace testing_support
