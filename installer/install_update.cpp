#include "install_update.h"

#include "block_encoding.h"
#include "copy_update.h"
#include "messages.h"
#include "version_gate.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Holds the destination path with its terminator.
constexpr std::size_t PATH_SIZE = 1024;
using PathBuffer = std::array<char, PATH_SIZE>;

// Forms DICTIONARY_ROOT, "/" and the argument, byte for byte. False when the
// result does not fit, so that a long argument can never overflow the path.
bool form_destination(std::string_view argument, PathBuffer& destination) {
    if (DICTIONARY_ROOT.size() + 1 + argument.size() >= destination.size())
        return false;
    char* end = std::copy(DICTIONARY_ROOT.begin(), DICTIONARY_ROOT.end(), destination.data());
    *end++ = '/';
    end = std::copy(argument.begin(), argument.end(), end);
    *end = '\0';
    return true;
}

// The destination always holds the root's slashes, so this is the text behind the last one.
const char* last_component(const char* path) { return std::strrchr(path, '/') + 1; }

// Makes the destination's own directory when it is missing, and only that
// one: a missing directory above it makes mkdir fail, and the open that
// follows reports the failure.
void make_parent_directory(const PathBuffer& destination) {
    PathBuffer parent = destination;
    *std::strrchr(parent.data(), '/') = '\0';
    struct stat status {};
    if (stat(parent.data(), &status) != 0)
        (void)mkdir(parent.data(), 0775);
}

int refuse(const char* message) {
    std::fputs(message, stdout);
    return 1;
}

} // namespace

int install_update(int argc, char** argv) {
    if (getuid() != 0)
        return refuse(msg_need_root);
    if (argc != 2) {
        std::printf(msg_usage, argc > 0 ? argv[0] : "vora-dict-update");
        return 1;
    }
    const char* argument = argv[1];
    PathBuffer destination;
    if (!form_destination(argument, destination))
        return refuse(msg_write_failed);
    const char* name = last_component(destination.data());

    if (installed_is_current(argument, destination.data())) {
        std::printf(msg_already_current, name, version_texts.installed_text.data(),
                    version_texts.update_text.data());
        return 0;
    }

    const int update = open(argument, O_RDONLY | O_CLOEXEC);
    if (update < 0)
        return refuse(msg_cannot_open_update);
    // A directory opens but holds no data; turn it away before anything is made.
    struct stat update_status {};
    if (fstat(update, &update_status) != 0 || S_ISDIR(update_status.st_mode))
        return refuse(msg_cannot_open_update);

    struct stat destination_status {};
    const bool existed = stat(destination.data(), &destination_status) == 0;
    if (!existed)
        make_parent_directory(destination);

    const int installed =
        open(destination.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    if (installed < 0)
        return refuse(msg_write_failed);
    const CopyResult copy = copy_update(update, installed, is_ejd_name(destination.data()));
    close(update);
    if (copy.failure != CopyFailure::none || close(installed) != 0)
        return refuse(msg_write_failed);

    std::printf(existed ? msg_updated : msg_added, name);
    return 0;
}
