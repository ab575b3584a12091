// Fuzzes the scan of an installed header against the line-by-line model.
// The first input byte picks the size of the chunks read, from a line buffer
// upwards, so that keys, tokens and pieces fall across chunk ends.
#include "scan_in_memory.h"
#include "version_gate.h"
#include "version_model.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t chunk = HEADER_LINE_SIZE + static_cast<std::size_t>(data[0]) * 37;
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
    VersionText text{};
    text.fill('#');
    const VersionValue value = scan_in_memory(file, chunk, text);
    const model::Version expected = model::scan_header(file);
    if (std::memchr(text.data(), '\0', text.size()) == nullptr)
        std::abort();
    if (value != expected.value)
        std::abort();
    if (value != 0 && text.data() != expected.text)
        std::abort();
    return 0;
}
