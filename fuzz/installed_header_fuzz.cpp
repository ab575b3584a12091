// Fuzzes the scan of an installed header against the line-by-line model.
// The first input byte picks the size of the chunks read, from a line buffer
// upwards, so that keys, tokens and pieces fall across chunk ends.
#include "version_gate.h"
#include "version_model.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::vector<char> buffer(HEADER_LINE_SIZE + static_cast<std::size_t>(data[0]) * 37);
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
    static const int fd = memfd_create("header", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    VersionText text{};
    text.fill('#');
    const VersionValue value = scan_installed_header(fd, buffer, text);
    const model::Version expected = model::scan_header(file);
    if (std::memchr(text.data(), '\0', text.size()) == nullptr)
        std::abort();
    if (value != expected.value)
        std::abort();
    if (value != 0 && text.data() != expected.text)
        std::abort();
    return 0;
}
