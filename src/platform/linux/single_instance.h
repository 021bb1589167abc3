// One client per user: a lock file marks the running copy, a socket beside it takes the
// command lines of later copies.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace velmora::platform {

inline constexpr const char* kSavingLastSessionWarning = "Velmora is saving last session";

// Holds `instance.lock` in the app data folder for as long as it lives.
class InstanceLock {
public:
    // nullopt when another copy holds the lock (or the lock file cannot be opened).
    static std::optional<InstanceLock> acquire(const std::filesystem::path& folder);
    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

    void release();

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The running copy's side: answers each forwarded argument after `on_argument` returned.
// Thread: the callbacks run on the listener's own thread.
class InstanceListener {
public:
    struct Callbacks {
        std::function<void(const std::string&)> on_argument;
        std::function<void()> on_show;
    };

    InstanceListener() = default;
    InstanceListener(const InstanceListener&) = delete;
    InstanceListener& operator=(const InstanceListener&) = delete;
    ~InstanceListener();

    // Binds `instance.sock` (mode 0600) in the folder; false when it cannot.
    bool start(const std::filesystem::path& folder, Callbacks callbacks);
    // Thread: any but the listener's. Removes the socket; later copies start as first ones.
    void stop();

private:
    void serve();
    void serve_client(int client_fd);

    int listen_fd_ = -1;
    int wake_pipe_[2] = {-1, -1};
    std::filesystem::path socket_path_;
    Callbacks callbacks_;
    std::thread thread_;
};

// The later copy's side: forwards every argument but "/m", in order, then asks the running
// copy to come forward. Without a listener the warning goes to `warn` once per argument.
void forward_to_running_instance(const std::filesystem::path& folder,
                                 const std::vector<std::string>& args,
                                 std::ostream& warn);

}  // namespace velmora::platform
