// Fuzzes the token parser: the text stays terminated within its field and
// the value matches the model.
#include "version_gate.h"
#include "version_model.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    VersionText text;
    text.fill('#');
    std::array<char, VERSION_DIGITS_SIZE> digits{};
    digits.fill('#');
    const VersionValue value = parse_version_token(input, text, digits);
    const model::Version expected = model::parse_token(input);
    if (std::memchr(text.data(), '\0', text.size()) == nullptr ||
        std::memchr(digits.data(), '\0', digits.size()) == nullptr)
        std::abort();
    if (value != expected.value || text.data() != expected.text)
        std::abort();
    return 0;
}
