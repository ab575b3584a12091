// The installed file: where an update goes below the dictionary root,
// looked up, opened for the version gate, created, removed again, and its
// new entries flushed. Every lookup is made from the descriptor of its
// directory, which is resolved once as the system resolves the path typed
// (the dictionary is root's, and its links are root's to make).
#pragma once

#include "failure.h"
#include "fd.h"
#include "resolve.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>

// Every installed dictionary file lives below this directory, at the same
// relative path as its update file below the current directory.
inline constexpr std::string_view DICTIONARY_ROOT = "/usr/local/share/vora/Dictionary";

// Holds the destination path with its terminator.
inline constexpr std::size_t PATH_SIZE = 1024;
using PathBuffer = std::array<char, PATH_SIZE>;

// A new installed file's mode and a new directory's, before the umask.
inline constexpr mode_t NEW_FILE_MODE = 0664;
inline constexpr mode_t NEW_DIRECTORY_MODE = 0775;

// The directories that a batch's installed files lie in, each opened once
// for the batch, so that the files of one directory share one descriptor.
class Directories {
  public:
    // The directory at path, open for reading, or -1 with error set: it is
    // missing (ENOENT), or something else stands in the way.
    int open(const std::string& path, int& error);
    // Keeps a directory that this run made or reached.
    int keep(const std::string& path, UniqueFd directory);
    [[nodiscard]] std::size_t size() const { return open_.size(); }

  private:
    std::unordered_map<std::string, UniqueFd> open_;
};

struct Target {
    PathBuffer destination{}; // DICTIONARY_ROOT, "/" and the relative path, terminated
    std::size_t leaf = 0;     // where the file's own name starts in destination
    int directory = -1;       // its directory (of Directories), or -1: it is missing
    int directory_error = 0;  // why there is no directory
    UniqueFd located;         // O_PATH of the copy, from the lookup until it is opened
    UniqueFd file;            // open for writing
    struct stat status {};    // the copy as found, once it is opened the file itself
    bool existed = false;
    bool dangling = false;    // the destination is a link to nothing
    bool created = false;     // this run made the file
    bool made_parent = false; // this run made its directory (in a dry run: would)
    UniqueFd made_in;         // the directory in which the file's directory was made

    [[nodiscard]] const char* path() const { return destination.data(); }
    [[nodiscard]] const char* name() const { return destination.data() + leaf; }
    [[nodiscard]] std::string directory_path() const { return {destination.data(), leaf - 1}; }
    // The relative path, which the update's path is too.
    [[nodiscard]] const char* relative_path() const {
        return destination.data() + DICTIONARY_ROOT.size() + 1;
    }
};

// Whether relative, counted component by component as typed, climbs above
// the directory that it starts in: "../x" and "a/../../x" do, "a/../b" does not.
bool leaves_the_root(std::string_view relative);

// Forms the destination of the update at relative: DICTIONARY_ROOT, "/"
// and relative, byte for byte. false when it does not fit, so that a long
// argument can never overflow the path.
bool form_destination(std::string_view relative, Target& target);

// Looks the file up without opening it: its type and identity, or that
// there is none.
void look_up_target(Directories& directories, Target& target);

// Opens the copy that was looked up for the version gate, read-only or for
// reading and writing, only when it is a regular file.
UniqueFd open_for_gate(const Target& target, bool read_only);

// The directories missing on the way to the file, below the deepest one
// that exists: what make_target_directories would make. error: what stops
// it before anything is made (a file in the way, a link to nothing, a
// missing level above the file's own directory without all_levels).
Existing missing_directories(const Target& target, bool all_levels);

// Makes the directories missing on the way to the file (mode 0775 less the
// umask): every missing level with all_levels, like mkdir -p, else only
// the file's own. Returns the error that stops it (a file in the way, a
// link to nothing, a read-only file system), or 0.
int make_target_directories(Directories& directories, Target& target, bool all_levels);

// Opens the file for writing: the copy that was looked up, or a new file
// (mode 0664, less the umask). Only a file that this open created counts
// as created, so a failed run never removes a file that another process
// made.
Failure open_target(Target& target);

// Why a real run could not open the existing copy, open for reading as fd,
// for writing, found without writing: a read-only file system, an
// immutable or append-only file. 0 when nothing stands in the way.
int write_error(const Target& target, int fd);

// Removes the file that this run created.
void remove_created(Target& target);

// Makes the directory entries that the run made durable: the file's, and
// its directory's when the run made that too.
int flush_new_entries(const Target& target);
