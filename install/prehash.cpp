#include "prehash.h"

#include "io.h"
#include "resolve.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <fcntl.h>

namespace {

constexpr std::size_t CHUNK_SIZE = std::size_t{256} * 1024;

// Opens path below top without following a link, leases it and hashes it.
std::optional<Prehashed> hash_under_lease(int top, const std::string& path,
                                          std::array<unsigned char, CHUNK_SIZE>& chunk) {
    const Resolved located = resolve(top, path, Links::none, O_PATH);
    if (!located.fd.valid())
        return std::nullopt;
    Opened opened = open_regular(located.fd.get(), {top, path.c_str(), Links::none}, O_RDONLY);
    if (!opened.fd.valid() || !take_read_lease(opened.fd.get()))
        return std::nullopt;
    Sha256Stream stream;
    for (off_t at = 0; at < opened.status.st_size;) {
        const IoResult got = pread_some(opened.fd.get(), chunk, at);
        if (got.error != 0 || got.count == 0)
            return std::nullopt;
        stream.add({chunk.data(), got.count});
        at += static_cast<off_t>(got.count);
    }
    Prehashed result;
    if (!stream.finish(result.digest))
        return std::nullopt;
    result.leased = std::move(opened.fd);
    result.status = opened.status;
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
    static std::array<unsigned char, CHUNK_SIZE> chunk;
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
        std::optional<Prehashed> result = hash_under_lease(top_, path, chunk);
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
