// SHA-1 and MD5 digests of torrent files, worked off one request at a time in the background.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace velmora::bridge {
class UiEventSink;
}

namespace velmora::services {

enum class Digest { Sha1, Md5 };

// The file's digest as upper-case hexadecimal, streamed through the hash in blocks; nullopt
// when the file cannot be read to its end.
std::optional<std::string> file_digest(const std::filesystem::path& path, Digest digest);

struct HashRequest {
    std::string torrent_hash;
    std::string path;
    std::int32_t index = 0;
    bool want_md5 = false;
    bool want_sha1 = false;
};

struct RunFlags {
    const std::atomic<bool>& running;
    const std::atomic<bool>& exiting;
};

// Thread: add() on the gui thread, start_next() on the tick, the worker on its own thread; one
// lock guards the queue and the busy flag.
class FileHashQueue {
public:
    // `start_worker` runs a job on a counted detached thread.
    FileHashQueue(bridge::UiEventSink& events,
                  RunFlags flags,
                  std::function<void(std::function<void()>)> start_worker);

    void add(HashRequest request);
    // Starts a worker for the front request unless one runs or the queue is empty.
    void start_next();
    std::int32_t queued() const;
    bool busy() const;

private:
    void work(const HashRequest& request);
    // Ends the front request: it leaves the queue and the next one may start.
    void finish();

    bridge::UiEventSink& events_;
    RunFlags flags_;
    std::function<void(std::function<void()>)> start_worker_;
    mutable std::mutex lock_;
    std::deque<HashRequest> queue_;
    bool busy_ = false;
};

}  // namespace velmora::services
