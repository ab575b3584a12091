// File and byte helpers shared by the tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace testing_support {

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes, mode_t mode = 0644);
bool exists(const std::string& path);
// The names in a directory, but "." and "..".
std::vector<std::string> list_directory(const std::string& path);
mode_t mode_of(const std::string& path);

// The ejd form of plain bytes, built here from the definition of the format
// (each 8192-byte block reversed, every byte complemented) so that the tests
// do not lean on the code they check.
std::string reference_encode(std::string_view plain);

// Deterministic filler bytes of every value.
std::string pseudo_random_bytes(std::size_t size, unsigned seed);

// The EUC-JP bytes of a UTF-8 text, converted by the C library's iconv.
std::string euc_jp(std::string_view utf8);

// A fresh directory below /tmp, removed with everything in it on destruction.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

void remove_tree(const std::string& path);

// Tells whether anything opened the file at path since the watch began.
class OpenWatch {
  public:
    explicit OpenWatch(const std::string& path);
    ~OpenWatch();
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;
    [[nodiscard]] bool opened() const;

  private:
    int fd_;
};

// Whether the tool treats a file of this name as ejd-encoded.
inline bool is_encoded_name(std::string_view name) {
    return name.size() > 4 && name.substr(name.size() - 4) == ".ejd";
}

} // namespace testing_support
