// The progress line of a tree install, drawn on standard error when that is
// a terminal and nowhere otherwise, at most about ten times a second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

class Progress {
  public:
    Progress(std::size_t files, off_t bytes);
    // Counts one more file done, redrawing when the last draw is old enough.
    void file_done(off_t bytes);
    // Erases the line before lines go to standard output, when that is a
    // terminal too; a later file_done draws it again.
    void make_room_for_output();
    // Erases the line for good.
    void erase();

  private:
    void draw();

    bool shown_;
    bool shares_terminal_; // standard output is a terminal as well
    std::size_t total_files_;
    off_t total_bytes_;
    std::size_t files_ = 0;
    off_t bytes_ = 0;
    std::int64_t start_ns_;
    std::int64_t drawn_ns_ = 0;
    bool drawn_ = false;
};
