// The progress line of a tree install, drawn on standard error when that is
// a terminal and nowhere otherwise, at most about ten times a second: the
// files done, the share of the bytes, the rate and, once it can be
// estimated, the time left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

class Progress {
  public:
    // plain: the terminal takes no escape sequence (TERM dumb or unset), so
    // the line is overwritten with a carriage return and spaces.
    Progress(std::size_t files, off_t bytes, bool plain);
    // For a run whose files are not known before it ends: an archive, bytes
    // long, counted by what has been read of it.
    static constexpr std::size_t UNKNOWN_FILES = 0;
    // Counts bytes read of all, redrawing when the last draw is old enough.
    void read_to(off_t bytes);
    // Counts bytes copied, redrawing when the last draw is old enough.
    void bytes_copied(off_t bytes);
    // Counts one more file done, and the bytes of it that were not copied.
    void file_done(off_t bytes_not_copied);
    // Erases the line before lines go to standard output, when that is a
    // terminal too; a later count draws it again.
    void make_room_for_output();
    // Erases the line for good.
    void erase();

  private:
    void count(off_t bytes);
    void draw();

    bool shown_;
    bool shares_terminal_; // standard output is a terminal as well
    bool plain_;
    std::size_t total_files_;
    off_t total_bytes_;
    std::size_t files_ = 0;
    off_t bytes_ = 0;
    std::int64_t start_ns_;
    std::int64_t drawn_ns_ = 0;
    std::size_t drawn_width_ = 0; // of the line on the screen, 0 when there is none
};

// Whether the terminal named by the TERM variable takes no escape sequence.
bool plain_terminal();
