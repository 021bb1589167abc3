// Desktop requests through xdg-open, started detached so the client never waits on them.
#include "velmora/platform/linux/xdg_desktop.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace velmora::platform {

bool spawn_detached(const char* program, const std::string& argument) {
    pid_t pid = 0;
    std::string program_copy(program);
    std::string argument_copy(argument);
    char* argv[] = {program_copy.data(), argument_copy.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", 0, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", 1, 0);
    const int rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return false;
    }
    // reap it in the background so it leaves no zombie behind
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return true;
}

void XdgDesktop::open_file(const std::filesystem::path& file) {
    spawn_detached("xdg-open", file.string());
}

void XdgDesktop::open_folder(const std::filesystem::path& folder) {
    spawn_detached("xdg-open", folder.string());
}

void XdgDesktop::show_in_folder(const std::filesystem::path& item) {
    spawn_detached("xdg-open", item.parent_path().string());
}

std::vector<std::filesystem::path> XdgDesktop::choose_torrent_files() {
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        return {};
    }
    // The arguments are fixed texts, so the shell sees nothing a user typed.
    FILE* dialog = ::popen(
        "zenity --file-selection --multiple --separator='\n' "
        "--title='Select .torrent Files' --file-filter='Torrent File | *.torrent' 2>/dev/null",
        "r");
    if (dialog == nullptr) {
        return {};
    }
    std::string output;
    std::array<char, 4096> chunk{};
    for (std::size_t got = 0; (got = std::fread(chunk.data(), 1, chunk.size(), dialog)) > 0;) {
        output.append(chunk.data(), got);
    }
    ::pclose(dialog);
    std::vector<std::filesystem::path> chosen;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            chosen.emplace_back(line);
        }
    }
    return chosen;
}

}  // namespace velmora::platform
