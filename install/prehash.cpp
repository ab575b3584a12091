#include "prehash.h"

#include "file_source.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <fcntl.h>

namespace {

// Opens path below top without following a link, leases it and hashes it.
std::optional<Prehashed> hash_under_lease(int top, const std::string& path) {
    FileSource file;
    if (file.open(top, path.c_str(), Walk::beneath | Walk::no_links).failed() || !file.lease())
        return std::nullopt;
    const Digested hashed = digest_of(file);
    if (!hashed.digest)
        return std::nullopt;
    Prehashed result;
    result.digest = *hashed.digest;
    result.status = file.status();
    result.leased = file.release();
    return result;
}

} // namespace

Prehasher::Prehasher(int top, std::size_t ahead)
    : top_(top), ahead_(std::max<std::size_t>(ahead, 1)), worker_([this] { work(); }) {}

Prehasher::~Prehasher() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

void Prehasher::want(const std::string& path) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back({path, false, false, std::nullopt});
    }
    changed_.notify_all();
}

std::optional<Prehashed> Prehasher::take(const std::string& path) {
    std::unique_lock lock(mutex_);
    const auto found = std::find_if(queue_.begin(), queue_.end(),
                                    [&](const Entry& entry) { return entry.path == path; });
    if (found == queue_.end())
        return std::nullopt;
    // The files before it were passed over: they failed before being verified.
    queue_.erase(queue_.begin(), found);
    changed_.notify_all();
    changed_.wait(lock, [this] { return queue_.front().done; });
    std::optional<Prehashed> result = std::move(queue_.front().result);
    queue_.pop_front();
    changed_.notify_all();
    return result;
}

void Prehasher::work() {
    // Signals are the main thread's: one that it holds back must not end
    // the process here.
    sigset_t all;
    sigfillset(&all);
    (void)pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock lock(mutex_);
    const auto next = [this] {
        const auto window =
            queue_.begin() + static_cast<std::ptrdiff_t>(std::min(ahead_, queue_.size()));
        const auto found =
            std::find_if(queue_.begin(), window, [](const Entry& entry) { return !entry.started; });
        return found != window ? found : queue_.end();
    };
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || next() != queue_.end(); });
        if (stopping_)
            return;
        const auto entry = next();
        entry->started = true;
        const std::string path = entry->path;
        lock.unlock();
        std::optional<Prehashed> result = hash_under_lease(top_, path);
        lock.lock();
        // Unless the install passed it over meanwhile.
        const auto waiting = std::find_if(queue_.begin(), queue_.end(),
                                          [&](const Entry& queued) { return queued.path == path; });
        if (waiting != queue_.end()) {
            waiting->done = true;
            waiting->result = std::move(result);
        }
        changed_.notify_all();
    }
}
