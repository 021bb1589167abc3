// The sleep inhibitor child.
#include "velmora/platform/linux/logind_keep_awake.h"

#include <csignal>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace velmora::platform {

LogindKeepAwake::~LogindKeepAwake() {
    release();
}

void LogindKeepAwake::set_system_required(bool required) {
    if (inhibitor_ != 0) {
        // a child that ended by itself (no logind here) holds nothing
        int status = 0;
        if (::waitpid(inhibitor_, &status, WNOHANG) == inhibitor_) {
            inhibitor_ = 0;
        }
    }
    if (!required) {
        release();
        return;
    }
    if (inhibitor_ != 0) {
        return;
    }
    std::string args[] = {
        "systemd-inhibit", "--what=sleep", "--who=Velmora", "--why=Torrents are active",
        "--mode=block",    "sleep",        "infinity"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                    args[4].data(), args[5].data(), args[6].data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // a group of its own, so that ending it also ends the command it holds the lock for
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "systemd-inhibit", &actions, &attributes, argv, environ) == 0) {
        inhibitor_ = pid;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

void LogindKeepAwake::release() {
    if (inhibitor_ == 0) {
        return;
    }
    ::kill(-inhibitor_, SIGTERM);
    int status = 0;
    ::waitpid(inhibitor_, &status, 0);
    inhibitor_ = 0;
}

}  // namespace velmora::platform
