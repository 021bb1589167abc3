// The client's place in a freedesktop session: a desktop entry with the types it opens, the
// user's default applications, and an autostart entry.
#pragma once

#include <filesystem>
#include <string>

#include "velmora/host/shell.h"

namespace velmora::platform {

// The user's own folders for settings and data; everything the shell writes lives below them.
struct ShellFolders {
    std::filesystem::path config_home;  // mimeapps.list, autostart/
    std::filesystem::path data_home;    // applications/, mime/
};

// $XDG_CONFIG_HOME and $XDG_DATA_HOME, or ~/.config and ~/.local/share where they are unset,
// empty or relative.
ShellFolders shell_folders_from_environment();

// The name desktops know the client by, in mimeapps.list and as the entry's file name.
inline constexpr const char* kDesktopEntryName = "velmora.desktop";

// A program path as the first word of an Exec key, quoted only where the desktop would split or
// expand it (plain paths stay bare, as simple launchers take the first word literally), then
// escaped as a desktop entry string.
std::string exec_program_word(const std::string& program);
// The program an Exec value starts, the reverse of exec_program_word; empty when there is none.
std::string exec_program(const std::string& exec_value);

class XdgShell final : public host::Shell {
public:
    // `exe` is the running program's current path; the entries launch it.
    XdgShell(ShellFolders folders, std::filesystem::path exe);

    // The desktop entry, the record files' MIME type and the three defaults; then the desktop's
    // caches are refreshed where their tools are installed.
    void register_associations(const ErrorReport& report) override;
    bool is_default_client(const ErrorReport& report) override;
    bool set_run_at_log_on(bool on, const ErrorReport& report) override;
    // The autostart entry exists, reads and names a program.
    bool runs_at_log_on(const ErrorReport& report) override;

    std::filesystem::path desktop_entry_path() const;
    std::filesystem::path mime_package_path() const;
    std::filesystem::path mimeapps_path() const;
    std::filesystem::path autostart_path() const;

private:
    std::string desktop_entry_text() const;
    std::string autostart_text() const;

    ShellFolders folders_;
    std::filesystem::path exe_;
};

}  // namespace velmora::platform
