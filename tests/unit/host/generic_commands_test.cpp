// The generic commands, driven through the real command list.
#include "velmora/host/generic_commands.h"

#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "support/recording_desktop.h"
#include "support/temp_dir.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/config/client_settings.h"
#include "velmora/host/app_paths.h"
#include "velmora/host/app_state.h"
#include "velmora/host/command_list.h"

namespace velmora::host {
namespace {

using bridge::UiArray;
using bridge::UiValue;

class NullEvents : public bridge::UiEventSink {
public:
    UiValue ui_call(std::string_view, const UiValue&) override { return UiValue(); }
};

class Commands : public ::testing::Test {
protected:
    Commands() {
        PathEnvironment env;
        env.home_override = (dir / "app").string();
        env.home = (dir / "home").string();
        paths = make_app_paths(env);
        create_app_folders(paths);
    }

    std::optional<UiValue> run(std::string_view name, UiArray args = {}) {
        return table.dispatch(name, args);
    }

    test::TempDir dir;
    AppState state;
    AppPaths paths;
    config::ClientSettings settings;
    test::RecordingDesktop desktop;
    NullEvents events;
    CommandContext ctx{state, paths, settings, desktop, events};
    bridge::CommandTable table{command_list(ctx)};
};

TEST_F(Commands, ListHasUniqueNameArityPairs) {
    std::set<std::pair<std::string, int>> seen;
    for (const auto& entry : table.entries()) {
        EXPECT_TRUE(seen.emplace(entry.name, entry.arity).second) << entry.name;
    }
    EXPECT_EQ(table.entries().size(), 193U);
}

TEST_F(Commands, TextAndAddressRules) {
    const struct {
        const char* name;
        UiArray args;
        UiValue expected;
    } cases[] = {
        {"validate_file_name", {"what?.txt"}, true},
        {"validate_file_name", {"a*b"}, true},
        {"validate_file_name", {".."}, true},
        {"validate_file_name", {"."}, true},
        {"validate_file_name", {"c:d"}, false},
        {"validate_file_name", {"name."}, false},
        {"validate_file_name", {" lead"}, false},
        {"validate_file_name", {"trail "}, false},
        {"validate_file_name", {""}, false},
        {"validate_file_name", {"a/b"}, false},
        {"validate_file_name", {std::string("a\x01")}, false},
        {"get_filename_from_path", {"/x/y.torrent", false}, "y"},
        {"get_filename_from_path", {"/x/y.torrent", true}, "y.torrent"},
        {"get_filename_from_path", {"/x/a.tar.gz", false}, "a.tar"},
        {"get_filename_from_path", {"/x/noext", true}, "noext"},
        {"get_filename_from_path", {"", true}, ""},
        {"do_validate_ip", {"::1"}, 2},
        {"do_validate_ip", {"127.0.0.1"}, 1},
        {"do_validate_ip", {"1.2.3"}, -1},
        {"do_validate_ip", {7}, -1},
        {"is_ipv4_or_ipv6", {"::1"}, 1},
        {"is_ipv4_or_ipv6", {"10.0.0.1"}, 0},
        {"is_ipv4_or_ipv6", {"1.2.3"}, 0},
        {"get_formated_size", {1340}, "1.30 KB"},
        {"get_formated_size", {"1340"}, "0 bytes"},
        {"get_drive_letters", {}, ""},
        {"launch_debug_view_view", {}, false},
        {"is_debug", {}, false},
        {"inspector_is_present", {}, UiValue()},
        {"set_debug_console", {1}, true},
        {"play_sound", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + (c.args.empty() ? "" : c.args[0].read_text()));
        EXPECT_EQ(run(c.name, c.args), c.expected);
    }
}

TEST_F(Commands, VersionHasThirteenElements) {
    const auto version = run("get_version");
    ASSERT_TRUE(version && version->is_array());
    const auto& v = version->as_array();
    ASSERT_EQ(v.size(), 13U);
    EXPECT_EQ(v[0], UiValue("2960"));
    EXPECT_EQ(v[1], UiValue("D1627B42-272F-4E8F-AAF2-3301C747C2F2"));
    for (std::size_t i = 2; i < 12; ++i) {
        EXPECT_EQ(v[i], UiValue(""));
    }
    EXPECT_EQ(v[12], UiValue(" (x64) 2.9.6.0"));
}

TEST_F(Commands, FilesOnDisk) {
    const auto file = dir / "f.bin";
    const auto write = [](const std::filesystem::path& p, std::string_view bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    };
    const struct {
        std::string bytes;
        bool executable;
    } heads[] = {
        {"MZ\x90", true},
        {"\x7f"
         "ELF\x02",
         true},
        {"PK\x03\x04", true},
        {"\x1f\x8b\x08\x00", true},
        {"\x1f\x8b\x07", false},
        {"ustar", true},
        {"Rar!\x1a\x07\x01", true},  // the byte after a short file's end counts as 0
        {std::string("Rar!\x1a\x07\x01\x00", 8), true},
        {"hello", false},
        {"", false},
    };
    for (const auto& h : heads) {
        SCOPED_TRACE(h.bytes);
        write(file, h.bytes);
        EXPECT_EQ(run("get_is_executable_file", {file.string()}), UiValue(h.executable));
    }
    EXPECT_EQ(run("get_is_executable_file", {(dir / "missing").string()}), UiValue(false));
    EXPECT_EQ(run("file_exists", {file.string()}), UiValue(true));
    EXPECT_EQ(run("file_exists", {dir.path().string()}), UiValue(true));
    EXPECT_EQ(run("delete_file_direct", {dir.path().string()}), UiValue(0));  // never a folder
    EXPECT_EQ(run("delete_file_direct", {file.string()}), UiValue(1));
    EXPECT_EQ(run("delete_file_direct", {file.string()}), UiValue(0));
    EXPECT_EQ(run("file_exists", {file.string()}), UiValue(false));
}

TEST_F(Commands, OpeningGoesToTheDesktop) {
    std::ofstream(dir / "a.txt") << "a";
    run("file_open", {true, (dir / "a.txt").string()});
    run("file_open", {false, (dir / "a.txt").string()});
    run("file_folder_open", {dir.path().string()});
    run("file_folder_open", {(dir / "a.txt").string()});
    EXPECT_EQ(
        desktop.requests,
        (std::vector<std::string>{
            "open_file " + (dir / "a.txt").string(), "show_in_folder " + (dir / "a.txt").string(),
            "open_folder " + dir.path().string(), "show_in_folder " + (dir / "a.txt").string()}));
}

TEST_F(Commands, FoldersAndTheirFallbacks) {
    EXPECT_EQ(run("get_default_torrent_folder"), run("get_default_torrents_folder"));
    EXPECT_EQ(run("get_user_torrent_folder"), run("get_default_torrent_folder"));
    EXPECT_EQ(run("get_user_download_folder"), run("get_default_download_folder"));
    EXPECT_EQ(run("get_completed_downloads_folder"), UiValue(""));
    EXPECT_EQ(run("get_appdata_folder"), UiValue((dir / "app").string()));
    EXPECT_EQ(run("get_temp_folder")->as_string().back(), '/');

    const std::string chosen = dir.path().string();
    const std::string missing = (dir / "gone").string();
    for (const auto& [setter, getter, fallback] :
         {std::tuple{"set_downloads_folder", "get_user_download_folder",
                     paths.default_download_folder.string()},
          std::tuple{"set_torrents_folder", "get_user_torrent_folder",
                     paths.record_folder.string()},
          std::tuple{"set_completed_downloads_folder", "get_completed_downloads_folder",
                     std::string()}}) {
        SCOPED_TRACE(setter);
        EXPECT_EQ(run(setter, {chosen}), UiValue(true));
        EXPECT_EQ(run(getter), UiValue(chosen));
        EXPECT_EQ(run(setter, {missing}), UiValue(true));
        EXPECT_EQ(run(getter), UiValue(fallback));
        run(setter, {chosen});
        EXPECT_EQ(run(setter, {5}), UiValue(true));  // a non-string names no folder
        EXPECT_EQ(run(getter), UiValue(fallback));
    }
}

TEST_F(Commands, FlagsStoreWhatReadsAsANonZeroInteger) {
    const struct {
        const char* setter;
        const char* getter;
        bool config::ClientSettings::*field;
    } flags[] = {
        {"set_update_only_changed_torrents", "get_update_only_changed_torrents",
         &config::ClientSettings::update_only_changed_torrents},
        {"set_pre_allocate_files", "get_pre_allocate_files",
         &config::ClientSettings::pre_allocate_files},
        {"set_bep53", "get_bep53", &config::ClientSettings::bep53},
        {"set_add_trackers_duplicate", "get_add_trackers_duplicate",
         &config::ClientSettings::add_trackers_duplicate},
        {"set_tray_minimize", "get_tray_minimize", &config::ClientSettings::tray_minimize},
        {"set_tray_close", nullptr, &config::ClientSettings::close_tray},
        {"set_auto_start", nullptr, &config::ClientSettings::auto_start},
        {"set_auto_stop", nullptr, &config::ClientSettings::auto_stop},
    };
    for (const auto& f : flags) {
        SCOPED_TRACE(f.setter);
        for (const auto& [arg, stored] :
             {std::pair{UiValue(5), true}, std::pair{UiValue("1"), false},
              std::pair{UiValue(true), true}, std::pair{UiValue(UiArray{}), false},
              std::pair{UiValue(0), false}}) {
            EXPECT_EQ(run(f.setter, {arg}), UiValue(stored));
            EXPECT_EQ(settings.*f.field, stored);
            if (f.getter != nullptr) {
                EXPECT_EQ(run(f.getter), UiValue(stored));
            }
        }
    }
    EXPECT_EQ(run("set_bandwith_option", {4}), UiValue(4));
    EXPECT_EQ(run("set_bandwith_option", {"4"}), UiValue(0));
    EXPECT_EQ(settings.bandwith_option, 0);
}

TEST_F(Commands, LoggingEventsAreReadByPositionAndWhatIsMissingIsOff) {
    using Toggles = std::array<bool, 9>;
    const struct {
        UiValue arg;
        Toggles stored;
    } cases[] = {
        {UiValue(UiArray(9, UiValue(0))), Toggles{}},
        {UiValue(UiArray{UiValue(1), UiValue(0), UiValue(7), UiValue("1")}),
         Toggles{true, false, true, false, false, false, false, false, false}},
        {UiValue(UiArray(12, UiValue(1))),
         Toggles{true, true, true, true, true, true, true, true, true}},
        {UiValue("not an array"), Toggles{}},
    };
    for (const auto& c : cases) {
        settings.event_toggles.fill(true);
        EXPECT_EQ(run("set_logging_events", {c.arg}), UiValue(true));
        EXPECT_EQ(settings.event_toggles, c.stored);
    }
}

TEST_F(Commands, ResumedSettingsAreReadByPosition) {
    const std::string exists = dir.path().string();
    UiArray saved = {UiValue(5.0e12), UiValue(123),  UiValue(exists),    UiValue("/no/such"),
                     UiValue(exists), UiValue(0),    UiValue("ignored"), UiValue(1),
                     UiValue(1),      UiValue(true), UiValue(2),         UiValue(10),
                     UiValue(20),     UiValue(800),  UiValue(600)};
    for (int i = 0; i < 8; ++i) {
        saved.emplace_back(i % 2);
    }
    saved.emplace_back(1);
    saved.emplace_back(1);
    EXPECT_EQ(run("set_resumed_settings", {UiValue(saved)}), UiValue(true));
    EXPECT_EQ(state.resumed_uploaded_bytes, 5'000'000'000'000);
    EXPECT_EQ(state.resumed_downloaded_bytes, 123);
    EXPECT_EQ(paths.user_record_folder, exists);
    EXPECT_EQ(paths.user_download_folder, paths.default_download_folder);
    EXPECT_EQ(paths.completed_downloads_folder, exists);
    EXPECT_FALSE(settings.default_client_check);
    EXPECT_TRUE(settings.show_tray);
    EXPECT_TRUE(settings.auto_stop);
    EXPECT_TRUE(settings.auto_start);
    EXPECT_EQ(settings.bandwith_option, 2);
    EXPECT_EQ(state.window_placement.left, 10);
    EXPECT_EQ(state.window_placement.height, 600);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(settings.event_toggles[i], i % 2 == 1);
    }
    EXPECT_TRUE(settings.event_toggles[8]);  // only the first eight travel this way
    EXPECT_TRUE(settings.tray_minimize);
    EXPECT_TRUE(settings.close_tray);
    // a malformed answer reads as zeros and never fails
    EXPECT_EQ(run("set_resumed_settings", {UiValue("junk")}), UiValue(true));
    EXPECT_EQ(state.resumed_uploaded_bytes, 0);
}

TEST_F(Commands, TitleByArity) {
    EXPECT_EQ(run("title"), UiValue("Velmora"));
    EXPECT_EQ(run("title", {"New"}), UiValue());
    EXPECT_EQ(run("title"), UiValue("New"));
    EXPECT_EQ(run("title", {"a", "b"}), std::nullopt);
    EXPECT_EQ(run("set_window_title", {"Other"}), UiValue(true));
    EXPECT_EQ(run("title"), UiValue("Other"));
}

TEST_F(Commands, LaterCommandsAnswerTheirUsualResult) {
    EXPECT_EQ(run("get_current_port"), UiValue(UiArray{}));
    EXPECT_EQ(run("get_resumed_uploaded"), UiValue(0.0));
    EXPECT_EQ(run("do_pause_torrent", {"00"}), UiValue(false));
    EXPECT_EQ(run("add_torrent_to_session", {"x", 0}), UiValue(true));
    EXPECT_EQ(run("add_torrent_to_session", {"x"}), std::nullopt);  // wrong count
    EXPECT_EQ(run("search", {"x"}), UiValue(false));
}

}  // namespace
}  // namespace velmora::host
