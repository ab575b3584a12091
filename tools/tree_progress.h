// The progress line of a tree install, drawn on standard error when that is
// a terminal and nowhere otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

class Progress {
  public:
    Progress(std::size_t files, off_t bytes);
    // Counts one more file done, redrawing at most about ten times a second.
    void file_done(off_t bytes);
    // Erases the line, so that other output can take its place; resume
    // draws it again below that output.
    void erase();
    void resume();

  private:
    void draw();

    bool shown_;
    std::size_t total_files_;
    off_t total_bytes_;
    std::size_t files_ = 0;
    off_t bytes_ = 0;
    std::int64_t start_ns_;
    std::int64_t drawn_ns_ = 0;
    bool drawn_ = false;
};
