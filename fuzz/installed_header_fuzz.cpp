// Fuzzes the scan of an installed header read from a stream.
#include "version_gate.h"
#include "version_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::string file(reinterpret_cast<const char*>(data), size);
    std::FILE* stream = fmemopen(file.data(), file.size(), "rb");
    if (stream == nullptr)
        return 0;
    VersionText text{};
    const std::int32_t value = scan_installed_header(stream, text);
    (void)std::fclose(stream);
    const model::Version expected = model::scan_header(file);
    if (std::memchr(text.data(), '\0', text.size()) == nullptr)
        std::abort();
    if (value != expected.value)
        std::abort();
    if (value != 0 && text.data() != expected.text)
        std::abort();
    return 0;
}
