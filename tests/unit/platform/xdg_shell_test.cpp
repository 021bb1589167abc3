// The desktop entries and default applications, in temporary folders, read back by xdg-mime.
#include "velmora/platform/linux/xdg_shell.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <utility>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

using Reports = std::vector<std::pair<std::string, std::string>>;

std::string read_text(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

void make_program(const fs::path& file) {
    write_text(file, "#!/bin/sh\n");
    fs::permissions(file, fs::perms(0755));
}

std::optional<std::string> line_starting(const std::string& text, const std::string& start) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(start, 0) == 0) {
            return line;
        }
    }
    return std::nullopt;
}

class XdgShellTest : public ::testing::Test {
protected:
    XdgShellTest() { make_program(exe); }

    XdgShell shell(const fs::path& program) const { return XdgShell(folders, program); }

    host::Shell::ErrorReport recorder() {
        return [this](const std::string& text, const std::string& path) {
            reports.emplace_back(text, path);
        };
    }

    // The default as the freedesktop tools see it, in an environment holding only our folders;
    // a rival installed system-wide claims every type, so only mimeapps.list can name us.
    std::string query_default(const std::string& type) const {
        write_text(dir / "system" / "applications" / "rival.desktop",
                   "[Desktop Entry]\nType=Application\nName=Rival\nExec=/bin/true %u\n"
                   "InitialPreference=9\nMimeType=application/x-bittorrent;"
                   "x-scheme-handler/magnet;application/x-vtr;\n");
        test::ChildProcess query(
            {"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "HOME=" + dir.path().string(),
             "XDG_CONFIG_HOME=" + folders.config_home.string(),
             "XDG_DATA_HOME=" + folders.data_home.string(),
             "XDG_DATA_DIRS=" + (dir / "system").string(),
             "XDG_CONFIG_DIRS=" + (dir / "system").string(), "XDG_CURRENT_DESKTOP=X-Generic",
             "xdg-mime", "query", "default", type},
            {});
        EXPECT_EQ(query.wait(std::chrono::seconds(8)), 0) << query.stderr_text();
        std::string answer = query.stdout_text();
        while (!answer.empty() && answer.back() == '\n') {
            answer.pop_back();
        }
        return answer;
    }

    test::TempDir dir;
    ShellFolders folders{dir / "config", dir / "data"};
    fs::path exe = dir / "bin" / "velmora";
    Reports reports;
};

TEST_F(XdgShellTest, RegisteringMakesTheClientTheDefaultTheDesktopSees) {
    auto ours = shell(exe);
    EXPECT_FALSE(ours.is_default_client(recorder()));
    EXPECT_EQ(query_default("application/x-bittorrent"), "rival.desktop");

    ours.register_associations(recorder());

    EXPECT_TRUE(ours.is_default_client(recorder()));
    for (const char* type :
         {"application/x-bittorrent", "x-scheme-handler/magnet", "application/x-vtr"}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(query_default(type), kDesktopEntryName);
    }
    const std::string entry = read_text(ours.desktop_entry_path());
    EXPECT_EQ(line_starting(entry, "Exec="), "Exec=" + exe.string() + " %u");
    EXPECT_EQ(line_starting(entry, "MimeType="),
              "MimeType=application/x-bittorrent;x-scheme-handler/magnet;application/x-vtr;");
    // the package is only useful if the MIME tools accept it
    if (fs::exists("/usr/bin/update-mime-database")) {
        EXPECT_NE(read_text(folders.data_home / "mime" / "globs2").find("application/x-vtr:*.vtr"),
                  std::string::npos);
    }
    EXPECT_TRUE(reports.empty());
}

// The user's list lives in a dotfiles folder and is linked into place, as such tools do.
TEST_F(XdgShellTest, KeepsTheUsersOtherSettingsAndWritesOurKeysOnce) {
    const fs::path users_file = dir / "dotfiles" / "mimeapps.list";
    write_text(users_file,
               "# my settings\n"
               "[Default Applications]\n"
               "text/plain=editor.desktop\n"
               "application/x-bittorrent=rival.desktop\n"
               "\n"
               "[Added Associations]\n"
               "application/x-bittorrent=rival.desktop;\n"
               "image/png=viewer.desktop;\n"
               "\n"
               "[Removed Associations]\n"
               "x-scheme-handler/magnet=velmora.desktop;browser.desktop;\n"
               "application/x-vtr=velmora.desktop;\n"
               "\n"
               "[X-Custom]\n"
               "key = value\n");
    fs::create_directories(folders.config_home);
    fs::create_symlink(users_file, folders.config_home / "mimeapps.list");
    auto ours = shell(exe);
    ours.register_associations(recorder());
    ours.register_associations(recorder());

    EXPECT_TRUE(fs::is_symlink(folders.config_home / "mimeapps.list"));
    EXPECT_EQ(read_text(users_file),
              "# my settings\n"
              "[Default Applications]\n"
              "text/plain=editor.desktop\n"
              "application/x-bittorrent=velmora.desktop\n"
              "x-scheme-handler/magnet=velmora.desktop\n"
              "application/x-vtr=velmora.desktop\n"
              "\n"
              "[Added Associations]\n"
              "application/x-bittorrent=velmora.desktop;rival.desktop;\n"
              "image/png=viewer.desktop;\n"
              "x-scheme-handler/magnet=velmora.desktop;\n"
              "application/x-vtr=velmora.desktop;\n"
              "\n"
              "[Removed Associations]\n"
              "x-scheme-handler/magnet=browser.desktop;\n"
              "\n"
              "[X-Custom]\n"
              "key = value\n");
    EXPECT_TRUE(reports.empty());
}

TEST_F(XdgShellTest, IsNoLongerTheDefaultOnceAnythingItReliesOnChanged) {
    const auto own_for = [this](const char* type, const char* program) {
        return [this, type, program] {
            const fs::path list = folders.config_home / "mimeapps.list";
            std::string text = read_text(list);
            const std::string ours = std::string(type) + "=velmora.desktop\n";
            text.replace(text.find(ours), ours.size(), std::string(type) + "=" + program + "\n");
            write_text(list, text);
        };
    };
    struct Case {
        const char* change;
        std::function<void()> apply;
        fs::path checking_exe;
    };
    const fs::path moved = dir / "moved" / "velmora";
    const std::vector<Case> cases = {
        {"another program owns torrent files", own_for("application/x-bittorrent", "rival.desktop"),
         exe},
        {"another program owns magnet links", own_for("x-scheme-handler/magnet", "rival.desktop"),
         exe},
        {"the program moved", [] {}, moved},
        {"the desktop entry is gone", [this] { fs::remove(shell(exe).desktop_entry_path()); }, exe},
        {"mimeapps.list is gone", [this] { fs::remove(folders.config_home / "mimeapps.list"); },
         exe},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        shell(exe).register_associations(recorder());
        c.apply();
        EXPECT_FALSE(shell(c.checking_exe).is_default_client(recorder()));
    }
    // the moved program registers again and is the default at its new place
    shell(moved).register_associations(recorder());
    EXPECT_TRUE(shell(moved).is_default_client(recorder()));
    EXPECT_TRUE(reports.empty());
}

TEST(ExecProgramWord, QuotesOnlyWhatTheDesktopWouldSplitOrExpandAndReadsBack) {
    struct Case {
        std::string program;
        std::string word;  // as it stands in the file
    };
    const std::vector<Case> cases = {
        {"/usr/bin/velmora", "/usr/bin/velmora"},
        {"/opt/my apps/velmora", "\"/opt/my apps/velmora\""},
        {"/opt/say \"hi\"/velmora", "\"/opt/say \\\\\"hi\\\\\"/velmora\""},
        {"/opt/$HOME/`x`/velmora", "\"/opt/\\\\$HOME/\\\\`x\\\\`/velmora\""},
        {"/opt/back\\slash/velmora", "\"/opt/back\\\\\\\\slash/velmora\""},
        {"/opt/it's/velmora", "\"/opt/it's/velmora\""},
        {"/opt/100%/velmora", "/opt/100%%/velmora"},
        {"/opt/100% done/velmora", "\"/opt/100%% done/velmora\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        EXPECT_EQ(exec_program_word(c.program), c.word);
        EXPECT_EQ(exec_program(c.word + " %u"), c.program);
    }
    EXPECT_EQ(exec_program("\"/opt/never closed %u"), "");
    EXPECT_EQ(exec_program("   "), "");
}

TEST_F(XdgShellTest, AProgramPathWithABlankAndAQuoteRoundTripsThroughTheEntry) {
    const fs::path odd = dir / "my \"odd\" dir" / "velmora";
    make_program(odd);
    auto ours = shell(odd);
    ours.register_associations(recorder());

    EXPECT_EQ(line_starting(read_text(ours.desktop_entry_path()), "Exec="),
              "Exec=\"" + dir.path().string() + "/my \\\\\"odd\\\\\" dir/velmora\" %u");
    EXPECT_TRUE(ours.is_default_client(recorder()));
    EXPECT_FALSE(shell(exe).is_default_client(recorder()));
}

TEST_F(XdgShellTest, RunAtLogOnKeepsOneEntryAndRemovesIt) {
    auto ours = shell(exe);
    const fs::path autostart = folders.config_home / "autostart";
    EXPECT_FALSE(ours.runs_at_log_on(recorder()));
    EXPECT_FALSE(ours.set_run_at_log_on(false, recorder()));

    EXPECT_TRUE(ours.set_run_at_log_on(true, recorder()));
    EXPECT_TRUE(ours.set_run_at_log_on(true, recorder()));
    EXPECT_TRUE(ours.runs_at_log_on(recorder()));
    const auto entries = std::distance(fs::directory_iterator(autostart), fs::directory_iterator());
    EXPECT_EQ(entries, 1);
    const std::string entry = read_text(autostart / kDesktopEntryName);
    EXPECT_EQ(line_starting(entry, "Exec="), "Exec=" + exe.string() + " /m");
    EXPECT_TRUE(line_starting(entry, "X-GNOME-Autostart-enabled=true"));

    EXPECT_FALSE(ours.set_run_at_log_on(false, recorder()));
    EXPECT_FALSE(fs::exists(autostart / kDesktopEntryName));

    // an entry that names no program starts nothing
    write_text(autostart / kDesktopEntryName, "[Desktop Entry]\nType=Application\nExec=\n");
    EXPECT_FALSE(ours.runs_at_log_on(recorder()));
    EXPECT_TRUE(reports.empty());
}

TEST_F(XdgShellTest, FilesThatCannotBeWrittenOrReadAreReportedOncePerCall) {
    struct Case {
        const char* setting;
        std::function<void(host::Shell&, const host::Shell::ErrorReport&)> call;
        bool config_under_a_file;  // else: mimeapps.list links to itself, the log-on entry is a
                                   // folder
        std::vector<fs::path> reported;
    };
    const fs::path blocked_config = dir / "blocker" / "config";
    write_text(dir / "blocker", "a file, not a folder");
    const std::vector<Case> cases = {
        {"log-on entry under a file",
         [](host::Shell& s, const auto& r) { EXPECT_FALSE(s.set_run_at_log_on(true, r)); },
         true,
         {blocked_config / "autostart" / kDesktopEntryName}},
        {"log-on state under a file",
         [](host::Shell& s, const auto& r) { EXPECT_FALSE(s.runs_at_log_on(r)); },
         true,
         {}},
        {"removing the log-on entry under a file",
         [](host::Shell& s, const auto& r) { EXPECT_FALSE(s.set_run_at_log_on(false, r)); },
         true,
         {}},
        {"registering under a file",
         [](host::Shell& s, const auto& r) { s.register_associations(r); },
         true,
         {blocked_config / "mimeapps.list"}},
        {"checking under a file",
         [](host::Shell& s, const auto& r) { EXPECT_FALSE(s.is_default_client(r)); },
         true,
         {}},
        {"a log-on entry that is a folder, failing both write and read-back",
         [](host::Shell& s, const auto& r) { EXPECT_FALSE(s.set_run_at_log_on(true, r)); },
         false,
         {folders.config_home / "autostart" / kDesktopEntryName}},
        {"registering over an unreadable list",
         [](host::Shell& s, const auto& r) { s.register_associations(r); },
         false,
         {folders.config_home / "mimeapps.list"}},
        {"checking an unreadable list",
         [](host::Shell& s, const auto& r) { EXPECT_FALSE(s.is_default_client(r)); },
         false,
         {folders.config_home / "mimeapps.list"}},
    };
    fs::create_directories(folders.config_home / "autostart" / kDesktopEntryName);
    fs::create_symlink("mimeapps.list", folders.config_home / "mimeapps.list");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        reports.clear();
        XdgShell subject(
            {c.config_under_a_file ? blocked_config : folders.config_home, folders.data_home}, exe);
        c.call(subject, recorder());
        std::vector<fs::path> paths;
        for (const auto& [text, path] : reports) {
            EXPECT_FALSE(text.empty());
            paths.emplace_back(path);
        }
        EXPECT_EQ(paths, c.reported);
    }
    // a list that could not be read is not replaced by one holding only our keys
    EXPECT_TRUE(fs::is_symlink(folders.config_home / "mimeapps.list"));
}

// Only the temporary folders are ever named, so the real home stays out of reach.
TEST(ShellFoldersFromEnvironment, FallsBackBelowHomeForUnsetOrRelativeFolders) {
    test::TempDir home;
    struct Saved {
        const char* name;
        std::optional<std::string> value;
    };
    std::vector<Saved> saved;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        const char* value = std::getenv(name);
        saved.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
    }
    struct Case {
        std::optional<std::string> config;
        std::optional<std::string> data;
        fs::path expected_config;
        fs::path expected_data;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, home / ".config", home / ".local/share"},
        {(home / "c").string(), (home / "d").string(), home / "c", home / "d"},
        {"relative/c", "", home / ".config", home / ".local/share"},
    };
    ::setenv("HOME", home.path().c_str(), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config.value_or("(unset)"));
        for (const auto& [name, value] :
             {std::pair{"XDG_CONFIG_HOME", c.config}, std::pair{"XDG_DATA_HOME", c.data}}) {
            if (value) {
                ::setenv(name, value->c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
        const ShellFolders folders = shell_folders_from_environment();
        EXPECT_EQ(folders.config_home, c.expected_config);
        EXPECT_EQ(folders.data_home, c.expected_data);
    }
    for (const auto& [name, value] : saved) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
}

}  // namespace
}  // namespace velmora::platform
