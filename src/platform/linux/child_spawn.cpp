// posix_spawn with the client's own settings taken away.
#include "velmora/platform/linux/child_spawn.h"

#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::platform {
namespace {

constexpr std::chrono::milliseconds kPollPeriod{10};

void reap_in_background(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
}

}  // namespace

bool spawn_quiet(const std::vector<std::string>& argv,
                 ProgramLookup lookup,
                 std::chrono::milliseconds wait,
                 bool keep_stderr) {
    if (argv.empty()) {
        return false;
    }
    std::vector<std::string> copies = argv;
    std::vector<char*> args;
    for (auto& arg : copies) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!keep_stderr) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // the client blocks its termination signals for a watcher thread; a child that inherited
    // the mask could not be ended by the desktop
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t no_signals;
    sigemptyset(&no_signals);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int rc = lookup == ProgramLookup::SearchPath
                       ? posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ)
                       : posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return false;
    }
    int status = 0;
    for (auto waited = std::chrono::milliseconds(0); waited < wait; waited += kPollPeriod) {
        if (::waitpid(pid, &status, WNOHANG) != 0) {
            return true;
        }
        std::this_thread::sleep_for(kPollPeriod);
    }
    reap_in_background(pid);
    return true;
}

}  // namespace velmora::platform
