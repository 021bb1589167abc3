// The URL file, the launch page and the detached xdg-open.
#include "velmora/platform/linux/web/page_opener.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;  // NOLINT(readability-redundant-declaration): unistd.h hides it in C++

namespace velmora::platform {
namespace {

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool replace_file_privately(const std::filesystem::path& file,
                            std::string_view content,
                            std::string& error) {
    const std::filesystem::path temp =
        file.string() + ".tmp" + std::to_string(static_cast<long>(::getpid()));
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot create " + temp.string() + ": " + std::strerror(errno);
        return false;
    }
    // a file left by an earlier run keeps its mode through O_TRUNC: set it again
    const bool written = ::fchmod(fd, 0600) == 0 && write_all(fd, content) && ::fsync(fd) == 0;
    const int saved_errno = errno;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), file.c_str()) != 0) {
        error =
            "cannot write " + file.string() + ": " + std::strerror(written ? errno : saved_errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string html_attribute(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '<':
                out += "&lt;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

}  // namespace

bool write_url_file(const std::filesystem::path& file, std::string_view url, std::string& error) {
    return replace_file_privately(file, std::string(url) + "\n", error);
}

bool write_launch_page(const std::filesystem::path& file,
                       std::string_view url,
                       std::string& error) {
    const std::string target = html_attribute(url);
    const std::string page =
        "<!doctype html><meta charset=\"utf-8\"><title>Velmora</title>"
        "<meta http-equiv=\"refresh\" content=\"0; url=" +
        target + "\"><a href=\"" + target + "\">Open Velmora</a>\n";
    return replace_file_privately(file, page, error);
}

bool open_with_desktop(const std::string& target) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // the browser's chatter stays off our terminal, and its session is its own
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                         fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::string program = "xdg-open";
    std::string argument = target;
    std::vector<char*> argv{program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        return false;
    }
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

void print_page_url(std::string_view url) {
    std::fwrite("Velmora page: ", 1, 14, stdout);
    std::fwrite(url.data(), 1, url.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace velmora::platform
