// vora-ejd-encode [--] INPUT OUTPUT: writes the other form of INPUT to
// OUTPUT. The block transform is its own inverse, so a plain dictionary
// becomes its ejd distribution form and an ejd file becomes plain again.
// "-" is standard input or output, as for other filters.
#include "block_encoding.h"
#include "io.h"
#include "program_version.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char PROGRAM[] = "vora-ejd-encode";

constexpr char USAGE[] =
    "Usage: vora-ejd-encode INPUT OUTPUT\n"
    "Write the other form of INPUT to OUTPUT: a plain dictionary file becomes\n"
    "its ejd distribution form (every 8192-byte block reversed and each byte\n"
    "complemented), and an ejd file becomes plain again. An INPUT of - is\n"
    "standard input, an OUTPUT of - standard output; -- ends the options.\n"
    "\n"
    "  -h, --help     print this help\n"
    "      --version  print the version\n";

constexpr int VERSION_OPTION = 256;

// The name of a file in messages: "-" is the stream it stands for.
const char* shown(const char* path, const char* stream) {
    return std::strcmp(path, "-") != 0 ? path : stream;
}

int fail(const char* file, int error) {
    (void)std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, file, std::strerror(error));
    return 1;
}

// A chunk of whole blocks at a time, through buffers of fixed size.
constexpr std::size_t CHUNK_SIZE = 32 * BLOCK_SIZE;
std::array<unsigned char, CHUNK_SIZE> raw;
std::array<unsigned char, CHUNK_SIZE> decoded;

struct StreamFailure {
    bool in_input;
    int error; // 0: none
};

// Writes the other form of every block of input to output. Reads fill
// each chunk, so the blocks keep the file's grid whatever a read returns.
StreamFailure transform(int input, int output) {
    for (;;) {
        const IoResult got = read_full(input, raw);
        if (got.error != 0)
            return {true, got.error};
        decode_blocks({raw.data(), got.count}, decoded.data());
        if (const int error = write_all(output, {decoded.data(), got.count}))
            return {false, error};
        if (got.count < raw.size())
            return {false, 0};
    }
}

// Parses the options; returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv) {
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, VERSION_OPTION},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    // "+": operands end the options, so a file named like one can follow "--".
    for (int option = 0; (option = getopt_long(argc, argv, "+h", long_options, nullptr)) != -1;) {
        if (option == 'h')
            return print_help(USAGE);
        if (option == VERSION_OPTION)
            return print_version(PROGRAM);
        // optopt is 0 for an unknown long option and one of ours for a long
        // option given a value: the argument just passed names it as typed.
        // Otherwise it is an unknown letter.
        const bool long_one = optopt == 0 || optopt == 'h' || optopt == VERSION_OPTION;
        if (long_one)
            (void)std::fprintf(stderr, "%s: unknown option '%s' (see --help)\n", PROGRAM,
                               argv[optind - 1]);
        else
            (void)std::fprintf(stderr, "%s: unknown option '-%c' (see --help)\n", PROGRAM,
                               static_cast<char>(optopt));
        return 1;
    }
    if (argc - optind != 2) {
        (void)std::fputs(USAGE, stderr);
        return 1;
    }
    return -1;
}

// Writes the other form of input_path to output_path; the exit status.
int encode(const char* input_path, const char* output_path) {
    const char* input_name = shown(input_path, "standard input");
    const char* output_name = shown(output_path, "standard output");
    const bool from_stdin = std::strcmp(input_path, "-") == 0;
    const int input = from_stdin ? STDIN_FILENO : open(input_path, O_RDONLY | O_CLOEXEC);
    if (input < 0)
        return fail(input_name, errno);
    struct stat input_status {};
    if (fstat(input, &input_status) != 0)
        return fail(input_name, errno);
    if (S_ISDIR(input_status.st_mode))
        return fail(input_name, EISDIR);
    // Opening the input itself for output would truncate it before it is read.
    const bool to_stdout = std::strcmp(output_path, "-") == 0;
    struct stat output_status {};
    const int seen =
        to_stdout ? fstat(STDOUT_FILENO, &output_status) : stat(output_path, &output_status);
    if (seen == 0 && S_ISREG(output_status.st_mode) && same_file(output_status, input_status)) {
        (void)std::fprintf(stderr, "%s: %s and %s are the same file\n", PROGRAM, input_name,
                           output_name);
        return 1;
    }
    const int output = to_stdout
                           ? STDOUT_FILENO
                           : open(output_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output < 0)
        return fail(output_name, errno);
    const StreamFailure failure = transform(input, output);
    if (failure.error != 0)
        return fail(failure.in_input ? input_name : output_name, failure.error);
    if (close(output) != 0)
        return fail(output_name, errno);
    close(input);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (const int status = parse_options(argc, argv); status >= 0)
        return status;
    return encode(argv[optind], argv[optind + 1]);
}
