// Where the folders land for each environment, and the folder setters' fallbacks.
#include "velmora/host/app_paths.h"

#include <fstream>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace velmora::host {
namespace {

TEST(AppPaths, FollowTheEnvironment) {
    test::TempDir home;
    std::filesystem::create_directories(home / ".config");
    std::ofstream(home / ".config" / "user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                       << "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
                                                       << "XDG_DOWNLOAD_DIR=\"/data/dl/\"\n";
    const std::string h = home.path().string();
    const struct {
        const char* label;
        PathEnvironment env;
        std::string appdata;
        std::string desktop;
        std::string downloads;
        std::string temp;
    } cases[] = {
        {"defaults",
         {std::nullopt, std::nullopt, std::nullopt, h, std::nullopt},
         h + "/.local/share/Velmora BitTorrent Client x64",
         h + "/Schreibtisch",
         "/data/dl",
         "/tmp/"},
        {"xdg data home and tmpdir",
         {std::nullopt, "/xdg/data", "/nowhere", h, "/var/tmp"},
         "/xdg/data/Velmora BitTorrent Client x64",
         h + "/Desktop",
         h + "/Downloads",
         "/var/tmp/"},
        {"home override",
         {"/portable/velmora/", "/xdg/data", std::nullopt, h, "/t/"},
         "/portable/velmora",
         h + "/Schreibtisch",
         "/data/dl",
         "/t/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const AppPaths p = make_app_paths(c.env);
        EXPECT_EQ(p.appdata_folder, c.appdata);
        EXPECT_EQ(p.record_folder, c.appdata + "/VTR");
        EXPECT_EQ(p.user_record_folder, p.record_folder);
        EXPECT_EQ(p.language_folder, c.appdata + "/ISO-639-1");
        EXPECT_EQ(p.advanced_settings_file, c.appdata + "/advanced-client-settings.xml");
        EXPECT_EQ(p.log_folder, c.appdata + "/Log");
        EXPECT_EQ(p.desktop_folder, c.desktop);
        EXPECT_EQ(p.default_download_folder, c.downloads);
        EXPECT_EQ(p.user_download_folder, p.default_download_folder);
        EXPECT_TRUE(p.completed_downloads_folder.empty());
        EXPECT_EQ(p.temp_folder, c.temp);
    }
}

TEST(AppPaths, CreatingTwiceLeavesTheFoldersAndTheirContent) {
    test::TempDir root;
    PathEnvironment env;
    env.home_override = (root / "app").string();
    env.home = (root / "home").string();
    const AppPaths p = make_app_paths(env);
    create_app_folders(p);
    std::ofstream(p.record_folder / "keep.vtr") << "x";
    create_app_folders(p);
    for (const auto& folder : {p.appdata_folder, p.record_folder, p.default_download_folder,
                               p.language_folder, p.log_folder}) {
        EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
    }
    EXPECT_TRUE(std::filesystem::exists(p.record_folder / "keep.vtr"));
}

}  // namespace
}  // namespace velmora::host
