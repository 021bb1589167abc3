// The single-instance rule on Linux: flock on a lock file, a Unix socket for forwarding.
#include "velmora/platform/linux/single_instance.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kArgumentMessage = 1;
constexpr std::uint8_t kShowMessage = 2;
constexpr std::uint8_t kHandled = 0x06;
// A forwarded command line is a path or a magnet link; anything larger is not ours.
constexpr std::uint32_t kMaxArgumentBytes = 1U << 20;
constexpr int kClientTimeoutMs = 30000;
constexpr const char* kMinimisedArgument = "/m";

fs::path socket_path_in(const fs::path& folder) {
    return folder / "instance.sock";
}

bool fill_address(const fs::path& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
    return true;
}

bool write_all(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, void* data, std::size_t size, int timeout_ms) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = ::recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool send_message(int fd, std::uint8_t kind, const std::string& text) {
    const auto size = static_cast<std::uint32_t>(text.size());
    std::array<std::uint8_t, 5> header{
        kind, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
        static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
    std::uint8_t answer = 0;
    // the running copy answers once it has handled the message; no answer counts as a failure
    return write_all(fd, header.data(), header.size()) && write_all(fd, text.data(), text.size()) &&
           read_all(fd, &answer, 1, -1) && answer == kHandled;
}

int connect_to(const fs::path& folder) {
    sockaddr_un addr{};
    if (!fill_address(socket_path_in(folder), addr)) {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::optional<InstanceLock> InstanceLock::acquire(const fs::path& folder) {
    const std::string path = (folder / "instance.lock").string();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return std::nullopt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return InstanceLock(fd);
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

InstanceLock::~InstanceLock() {
    release();
}

void InstanceLock::release() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

InstanceListener::~InstanceListener() {
    stop();
}

bool InstanceListener::start(const fs::path& folder, Callbacks callbacks) {
    socket_path_ = socket_path_in(folder);
    sockaddr_un addr{};
    if (!fill_address(socket_path_, addr)) {
        return false;
    }
    std::error_code ignored;
    fs::remove(socket_path_, ignored);  // left by a copy that died; we hold the lock now
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        return false;
    }
    const mode_t old_mask = ::umask(0177);
    const bool bound =
        ::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(old_mask);
    if (!bound || ::listen(listen_fd_, 8) != 0 || ::pipe2(wake_pipe_, O_CLOEXEC) != 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    callbacks_ = std::move(callbacks);
    thread_ = std::thread([this] { serve(); });
    return true;
}

void InstanceListener::stop() {
    if (!thread_.joinable()) {
        return;
    }
    const char byte = 0;
    [[maybe_unused]] const auto written = ::write(wake_pipe_[1], &byte, 1);
    thread_.join();
    ::close(listen_fd_);
    ::close(wake_pipe_[0]);
    ::close(wake_pipe_[1]);
    listen_fd_ = -1;
    std::error_code ignored;
    fs::remove(socket_path_, ignored);
}

void InstanceListener::serve() {
    for (;;) {
        std::array<pollfd, 2> fds{pollfd{listen_fd_, POLLIN, 0}, pollfd{wake_pipe_[0], POLLIN, 0}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                serve_client(client);
                ::close(client);
            }
        }
    }
}

void InstanceListener::serve_client(int client_fd) {
    for (;;) {
        std::array<std::uint8_t, 5> header{};
        if (!read_all(client_fd, header.data(), header.size(), kClientTimeoutMs)) {
            return;
        }
        const std::uint32_t size = header[1] | (std::uint32_t{header[2]} << 8) |
                                   (std::uint32_t{header[3]} << 16) |
                                   (std::uint32_t{header[4]} << 24);
        if (size > kMaxArgumentBytes) {
            return;
        }
        std::string text(size, '\0');
        if (!read_all(client_fd, text.data(), text.size(), kClientTimeoutMs)) {
            return;
        }
        if (header[0] == kArgumentMessage && callbacks_.on_argument) {
            callbacks_.on_argument(text);
        } else if (header[0] == kShowMessage && callbacks_.on_show) {
            callbacks_.on_show();
        }
        if (!write_all(client_fd, &kHandled, 1)) {
            return;
        }
    }
}

void forward_to_running_instance(const fs::path& folder,
                                 const std::vector<std::string>& args,
                                 std::ostream& warn) {
    const int fd = connect_to(folder);
    bool reachable = fd >= 0;
    for (const auto& arg : args) {
        if (arg == kMinimisedArgument) {
            continue;
        }
        if (!reachable || !send_message(fd, kArgumentMessage, arg)) {
            reachable = false;
            warn << kSavingLastSessionWarning << '\n';
        }
    }
    if (reachable) {
        send_message(fd, kShowMessage, {});
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace velmora::platform
