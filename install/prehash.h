// Hashing ahead, on a second core: the large files that a manifest lists are
// opened, held under a read lease and hashed by a worker thread while the
// install goes on with the files before them, so that their digests are
// ready when the install reaches them. A digest counts only for the very
// file that the install opens, unchanged since, its lease never broken.
#pragma once

#include "digest.h"
#include "fd.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>

// A file hashed ahead: the descriptor whose lease covers it, its status then.
struct Prehashed {
    UniqueFd leased;
    struct stat status {};
    Sha256 digest{};
};

class Prehasher {
  public:
    // Hashes files below the directory open as top, found without following a
    // link, at most ahead files ahead of those taken.
    Prehasher(int top, std::size_t ahead);
    ~Prehasher();
    Prehasher(const Prehasher&) = delete;
    Prehasher& operator=(const Prehasher&) = delete;

    // Queues path, in the order the install will take it.
    void want(const std::string& path);
    // The result for path, waiting for it if it is queued; nothing where it
    // is not queued, or could not be hashed under a lease.
    std::optional<Prehashed> take(const std::string& path);

  private:
    struct Entry {
        std::string path;
        bool started = false;
        bool done = false;
        std::optional<Prehashed> result;
    };
    void work();

    int top_;
    std::size_t ahead_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Entry> queue_; // in order; only the first ahead_ are hashed
    bool stopping_ = false;
    std::thread worker_;
};
