// The installed file: where an update goes below the dictionary root, its
// directory, and how far the install has come with it: no copy, a copy
// found, or the file open for writing. Every lookup is made from the
// descriptor of its directory, which is resolved once as the system
// resolves the path typed (the dictionary is root's, and its links are
// root's to make).
#pragma once

#include "failure.h"
#include "fd.h"
#include "resolve.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unordered_map>
#include <variant>

// Every installed dictionary file lives below this directory, at the same
// relative path as its update file below the current directory.
inline constexpr std::string_view DICTIONARY_ROOT = "/usr/local/share/vora/Dictionary";

// Holds the destination path with its terminator.
inline constexpr std::size_t PATH_SIZE = 1024;

// A new installed file's mode and a new directory's, before the umask.
inline constexpr mode_t NEW_FILE_MODE = 0664;
inline constexpr mode_t NEW_DIRECTORY_MODE = 0775;

// Whether relative, counted component by component as typed, climbs above
// the directory that it starts in: "../x" and "a/../../x" do, "a/../b" does not.
bool leaves_the_root(std::string_view relative);

// Where an update goes: DICTIONARY_ROOT, "/" and its relative path, byte for byte.
class Destination {
  public:
    // false when it does not fit, so that a long argument can never overflow the path.
    bool form(std::string_view relative);

    [[nodiscard]] const char* path() const { return path_.data(); }
    [[nodiscard]] const char* name() const { return path_.data() + leaf_; }
    [[nodiscard]] std::string directory_path() const { return {path_.data(), leaf_ - 1}; }
    // The relative path, which the update's path is too.
    [[nodiscard]] const char* relative_path() const {
        return path_.data() + DICTIONARY_ROOT.size() + 1;
    }

  private:
    std::array<char, PATH_SIZE> path_{};
    std::size_t leaf_ = 0; // where the file's own name starts
};

// The directory that an installed file lies in: open (kept by
// Directories), or missing: ENOENT where it may be made, else what stands in
// the way.
struct DirectoryOpen {
    int fd;
    dev_t device = 0; // its identity, asked once when it was opened
    ino_t inode = 0;
};
struct DirectoryMissing {
    int error;
};
using DirectoryState = std::variant<DirectoryOpen, DirectoryMissing>;

// The directories that a batch's installed files lie in, each opened once
// for the batch, so that the files of one directory share one descriptor.
class Directories {
  public:
    DirectoryState open(const std::string& path);
    // Keeps a directory that this run made or reached.
    DirectoryOpen keep(const std::string& path, UniqueFd directory);

  private:
    struct Kept {
        UniqueFd fd;
        DirectoryOpen open;
    };
    std::unordered_map<std::string, Kept> open_;
};

// The installed file as far as the install has come: no copy (a link to
// nothing, when dangling), a copy found (located with O_PATH, its status),
// or the file open for writing (its status, and where it came from).
struct NoCopy {
    bool dangling = false;
};
struct CopyFound {
    UniqueFd located;
    struct stat status {};
};
// A file open for writing: the copy found; a new file that no name shows
// until the commit links it into place (unnamed), where the file system
// can make one; or a new file made under its name (created).
enum class Origin { found, unnamed, created };
struct OpenForWriting {
    UniqueFd file;
    struct stat status {};
    Origin origin = Origin::found;
    [[nodiscard]] bool is_new() const { return origin != Origin::found; }
};
using InstalledFile = std::variant<NoCopy, CopyFound, OpenForWriting>;

struct Target {
    Destination destination;
    DirectoryState directory = DirectoryMissing{ENOENT};
    InstalledFile file = NoCopy{};
    UniqueFd made_in; // the directory in which this run made the file's directory

    [[nodiscard]] const CopyFound* found() const { return std::get_if<CopyFound>(&file); }
    [[nodiscard]] OpenForWriting* writing() { return std::get_if<OpenForWriting>(&file); }
    [[nodiscard]] const OpenForWriting* writing() const {
        return std::get_if<OpenForWriting>(&file);
    }
    [[nodiscard]] const DirectoryOpen* open_directory() const {
        return std::get_if<DirectoryOpen>(&directory);
    }
};

// Looks the file up without opening it: its type and identity, or that
// there is none.
void look_up_target(Directories& directories, Target& target);

// How the version gate opens a copy: to read it, or only a copy that it
// could also rewrite.
enum class GateAccess { read_only, read_write };

// Opens the copy found for the version gate, only when it is a regular file.
UniqueFd open_for_gate(const Target& target, GateAccess access);

// Which missing directories an install makes: the file's own alone, or
// every missing level, like mkdir -p.
enum class Levels { own_directory, all };

// The deepest directory that exists on the way to the file's directory, and
// the levels below it that make_target_directories would make; or the error
// that stops it before anything is made (a file in the way, a link to
// nothing, a missing level above the file's own directory with own_directory).
Resolved missing_directories(const Target& target, Levels levels);

// Makes the directories missing on the way to the file (mode 0775 less the
// umask). Returns the error that stops it (a file in the way, a link to
// nothing, a read-only file system), or 0.
int make_target_directories(Directories& directories, Target& target, Levels levels);

// Opens the file for writing: the copy found, or a new file (mode 0664,
// less the umask and as a default ACL says), unnamed where the file system
// can make one. Only a file that this open created counts as created, so a
// failed run never removes a file that another process made.
Failure open_target(Target& target);

// Gives the unnamed new file its name: the commit of a new file. EEXIST
// when another process made a file of that name meanwhile.
int link_into_place(Target& target);

// Why a real run could not open the copy found, open for reading as fd, for
// writing: a read-only file system, an immutable or append-only file. 0
// when nothing stands in the way.
int write_error(const Target& target, int fd);

// Removes the file that this run created under its name.
void remove_created(Target& target);

// Makes the directory entries that the run made durable: the file's, and
// its directory's when the run made that too.
int flush_new_entries(const Target& target);

// Where an installed file is, or would be made: an existing file by its
// identity; a missing one by the deepest directory that exists on its way
// and the path below that directory. Two paths to one file have one place.
struct Place {
    dev_t device = 0;
    ino_t inode = 0;
    std::string below; // empty for an existing file
    bool operator==(const Place&) const = default;
};
struct PlaceHash {
    std::size_t operator()(const Place& place) const;
};

// The free space of the file system that the dictionary lies on (its root,
// or the deepest directory of it that exists), as root may not use it
// either; nullopt where none can be asked.
std::optional<off_t> dictionary_free_space();
// The whole size of that file system: more than the dictionary can hold.
std::optional<off_t> dictionary_file_system_size();

// The target's place, and the file system that it lies on (unknown where
// nothing on the way exists).
struct PlaceOnDisk {
    Place place;
    std::optional<struct statfs> file_system;
};
PlaceOnDisk place_of(const Target& target);
// The place of a file that is not there yet, in its directory open: with no
// call to the system.
std::optional<Place> place_in_directory(const Target& target);
