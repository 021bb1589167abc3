// Desktop requests through xdg-open, started detached so the client never waits on them.
#include "velmora/platform/linux/xdg_desktop.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include <unistd.h>

#include "velmora/platform/linux/child_spawn.h"

namespace velmora::platform {

bool spawn_detached(const char* program, const std::string& argument) {
    // the opened program may have something to say on stderr
    return spawn_quiet({program, argument}, ProgramLookup::SearchPath, {}, true);
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
