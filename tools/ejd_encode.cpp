// vora-ejd-encode INPUT OUTPUT: writes the other form of INPUT to OUTPUT.
// The block transform is its own inverse, so a plain dictionary becomes its
// ejd distribution form and an ejd file becomes plain again.
#include "copy_update.h"
#include "file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char USAGE[] =
    "Usage: vora-ejd-encode INPUT OUTPUT\n"
    "Write the other form of INPUT to OUTPUT: a plain dictionary file becomes\n"
    "its ejd distribution form (every 8192-byte block reversed and each byte\n"
    "complemented), and an ejd file becomes plain again.\n";

int fail(const char* file, int error) {
    (void)std::fprintf(stderr, "vora-ejd-encode: %s: %s\n", file, std::strerror(error));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        (void)std::fputs(USAGE, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc != 3) {
        (void)std::fputs(USAGE, stderr);
        return 1;
    }
    const char* input_path = argv[1];
    const char* output_path = argv[2];

    const int input = open(input_path, O_RDONLY | O_CLOEXEC);
    if (input < 0)
        return fail(input_path, errno);
    struct stat input_status {};
    if (fstat(input, &input_status) != 0)
        return fail(input_path, errno);
    if (S_ISDIR(input_status.st_mode))
        return fail(input_path, EISDIR);

    // Opening the input itself for output would truncate it before it is read.
    struct stat output_status {};
    if (stat(output_path, &output_status) == 0 && same_file(output_status, input_status)) {
        (void)std::fprintf(stderr, "vora-ejd-encode: %s and %s are the same file\n", input_path,
                           output_path);
        return 1;
    }
    const int output = open(output_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output < 0)
        return fail(output_path, errno);

    const CopyResult copy = copy_update(input, output, true);
    if (copy.failure == CopyFailure::read)
        return fail(input_path, errno);
    if (copy.failure == CopyFailure::write)
        return fail(output_path, errno);
    if (close(output) != 0)
        return fail(output_path, errno);
    close(input);
    return 0;
}
