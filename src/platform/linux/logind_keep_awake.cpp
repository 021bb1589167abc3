// The sleep inhibitor child.
#include "velmora/platform/linux/logind_keep_awake.h"

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

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
            ::close(lifeline_);
            lifeline_ = -1;
        }
    }
    if (!required) {
        release();
        return;
    }
    if (inhibitor_ != 0) {
        return;
    }
    // The lock is held by `cat` reading a pipe whose other end only this process holds: when
    // the client ends in any way, even killed, the pipe closes and the lock goes with it.
    int lifeline[2] = {-1, -1};
    if (::pipe2(lifeline, O_CLOEXEC) != 0) {
        return;
    }
    std::string args[] = {"systemd-inhibit",           "--what=sleep", "--who=Velmora",
                          "--why=Torrents are active", "--mode=block", "cat"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                    args[4].data(), args[5].data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, lifeline[0], STDIN_FILENO);
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
        lifeline_ = lifeline[1];
    } else {
        ::close(lifeline[1]);
    }
    ::close(lifeline[0]);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

void LogindKeepAwake::release() {
    if (inhibitor_ == 0) {
        return;
    }
    // the held command ends with its pipe; a child that lingers is ended after a moment
    ::close(lifeline_);
    lifeline_ = -1;
    int status = 0;
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(inhibitor_, &status, WNOHANG) == inhibitor_) {
            inhibitor_ = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-inhibitor_, SIGTERM);
    ::waitpid(inhibitor_, &status, 0);
    inhibitor_ = 0;
}

}  // namespace velmora::platform
