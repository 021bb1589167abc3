// The client's start-up order, close request and ordered ends, on the headless engine.
#include "velmora/host/client.h"

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "client_rig.h"
#include "support/recording_desktop.h"
#include "support/recording_keep_awake.h"
#include "support/recording_shell.h"
#include "support/temp_dir.h"
#include "velmora/bridge/headless_ui_engine.h"
#include "velmora/config/advanced_settings_xml.h"
#include "velmora/engine/client_functions.h"
#include "velmora/engine/engine_session.h"

namespace velmora::host {
namespace {

using bridge::UiArray;
using bridge::UiValue;

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ClientTest : public ClientRig {
protected:
    Client make_client() {
        InstanceHooks hooks;
        hooks.start_listening = [this] { instance_log.emplace_back("listen"); };
        hooks.release = [this] { instance_log.emplace_back("release"); };
        return Client(loop, ui, desktop, keep_awake, paths, hooks);
    }

    std::vector<std::string> event_names() const {
        std::vector<std::string> names;
        for (const auto& e : ui.events()) {
            names.push_back(e.name);
        }
        return names;
    }

    std::vector<std::string> instance_log;
};

TEST_F(ClientTest, StartsInOrderAndEndsThroughTheExitSequenceWhenThePageCloses) {
    std::ofstream(paths.advanced_settings_file) << "<root><port>7000</port><ssl_port>";
    ui.set_page_function("get_resume_data", [this](const UiValue&) {
        // the page hands its saved settings back while the client waits
        ui.command("set_resumed_settings", {UiValue(UiArray{UiValue(10), UiValue(20)})});
        return UiValue(0);
    });
    Client client = make_client();
    loop.post([this] { ui.close_main_window(); });
    EXPECT_EQ(client.run({"/m"}), 0);

    // the engine starts before the pages load; the country database folder holds none; the
    // page is gone at the end, so "exit_session" reaches nobody
    EXPECT_EQ(event_names(), (std::vector<std::string>{
                                 "set_port_variable", "get_resume_data", "pre_run_errors",
                                 "get_geoip", "post_geoip_error", "get_torrents_to_restore"}));
    const auto events = ui.events();
    ASSERT_EQ(events.size(), 6U);
    EXPECT_EQ(events[4].arg, UiValue(59));
    EXPECT_EQ(events[1].arg, UiValue(0));
    ASSERT_TRUE(events[2].arg.is_array());
    EXPECT_EQ(events[2].arg.as_array().at(0), UiValue(58));
    EXPECT_EQ(client.state().resumed_downloaded_bytes, 20);
    EXPECT_TRUE(client.state().minimised_start);
    EXPECT_FALSE(client.state().running);
    EXPECT_TRUE(client.state().exiting);
    EXPECT_EQ(instance_log, (std::vector<std::string>{"listen", "release"}));
    // the broken file kept no value (the port is the one the engine really opened) and was
    // replaced by a whole one at exit
    EXPECT_NE(client.settings().port, 7000);
    config::ClientSettings reread;
    EXPECT_FALSE(config::load_advanced_settings(paths.advanced_settings_file, reread));
    EXPECT_EQ(reread.port, client.settings().port);
    for (const auto& folder : {paths.record_folder, paths.language_folder, paths.log_folder}) {
        EXPECT_TRUE(std::filesystem::is_directory(folder));
    }
}

TEST_F(ClientTest, AFirstRunTurnsTheAdapterLockOff) {
    for (const bool first_run : {true, false}) {
        SCOPED_TRACE(first_run);
        config::ClientSettings stored;
        stored.lock_adapter = true;
        ASSERT_TRUE(config::save_advanced_settings(paths.advanced_settings_file, stored));
        if (!first_run) {
            std::ofstream(paths.appdata_folder / "settings.db") << "";
        }
        bridge::GuiLoop local_loop;
        bridge::HeadlessUiEngine local_ui;
        Client client(local_loop, local_ui, desktop, keep_awake, paths, {});
        local_loop.post([&] { local_ui.close_main_window(); });
        client.run({});
        EXPECT_EQ(client.settings().lock_adapter, !first_run);
    }
}

TEST_F(ClientTest, CloseRequestAsksThePageUnlessItOnlyHidesToTheTray) {
    int answer = 0;
    ui.set_page_function("do_exit", [&answer](const UiValue&) { return UiValue(answer); });
    Client client = make_client();
    loop.post([&] {
        client.settings().close_tray = true;
        client.settings().show_tray = true;
        EXPECT_FALSE(client.request_close());  // hidden only
        client.settings().close_tray = false;
        EXPECT_FALSE(client.request_close());  // the page said no
        client.state().force_exit = 1;
        client.settings().close_tray = true;
        answer = 1;
        EXPECT_TRUE(client.request_close());
    });
    EXPECT_EQ(client.run({}), 0);
    const auto exits = ui.events_named("do_exit");
    ASSERT_EQ(exits.size(), 2U);
    EXPECT_EQ(exits[0].arg, UiValue(0));
    EXPECT_EQ(exits[1].arg, UiValue(1));
    EXPECT_EQ(ui.events().back().name, "exit_session");
}

TEST_F(ClientTest, ATerminationSignalSavesTheSessionAndEnds) {
    Client client = make_client();
    std::thread signaller;
    loop.post([&] {
        client.settings().port = 7777;
        signaller = std::thread([&] { client.on_termination_signal(); });
    });
    EXPECT_EQ(client.run({}), 0);
    signaller.join();
    EXPECT_EQ(event_names(), (std::vector<std::string>{"set_port_variable", "get_resume_data",
                                                       "get_geoip", "post_geoip_error",
                                                       "get_torrents_to_restore", "logging_off"}));
    EXPECT_NE(read_file(paths.advanced_settings_file).find("<port>7777</port>"), std::string::npos);
    EXPECT_EQ(instance_log.back(), "release");
}

// The end asked for from inside a page call that a tick waits for: the tick cannot finish
// before the end does, so it must give up waiting rather than run on beside the saving of the
// records (or hold the end up until the wait limit).
TEST_F(ClientTest, AnEndAskedForInsideATicksPageCallStopsThatTickAtOnce) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* name;
        bool by_signal;
    };
    for (const Case c : {Case{"page closed", false}, Case{"termination signal", true}}) {
        SCOPED_TRACE(c.name);
        bridge::GuiLoop local_loop;
        bridge::HeadlessUiEngine local_ui;
        Client client(local_loop, local_ui, desktop, keep_awake, paths, {});
        std::optional<Clock::time_point> asked;
        local_ui.set_page_function("do_statusbar", [&](const UiValue&) {
            if (!asked) {
                asked = Clock::now();
                if (c.by_signal) {
                    client.on_termination_signal();
                    // the posted end runs here, inside this call, as the page's own wait
                    // would run it
                    local_loop.run_until([&] { return local_loop.is_stopped(); });
                } else {
                    local_ui.close_main_window();
                }
            }
            return UiValue();
        });
        local_loop.post([&] { local_ui.command("start_timer", {}); });
        EXPECT_EQ(client.run({}), 0);
        ASSERT_TRUE(asked.has_value());
        EXPECT_LT(Clock::now() - *asked, std::chrono::milliseconds(2000));
    }
}

TEST_F(ClientTest, StartUpAsksToBecomeTheDefaultClientOnlyWhenItNoLongerIs) {
    struct Case {
        const char* name;
        bool check_on, is_default;
        int answer;
        bool asked, registered;
    };
    const Case cases[] = {
        {"check off", false, false, 1, false, false},
        {"still the default", true, true, 1, false, false},
        {"user agrees", true, false, 1, true, true},
        {"user declines", true, false, 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::RecordingShell shell;
        shell.default_client = c.is_default;
        test::RecordingPowerActions power;
        bridge::GuiLoop local_loop;
        bridge::HeadlessUiEngine local_ui;
        std::vector<std::string> order;
        local_ui.set_page_function("get_resume_data", [&](const UiValue&) {
            // the page's stored choice
            local_ui.command("set_default_client_check", {UiValue(c.check_on ? 1 : 0)});
            return UiValue(0);
        });
        local_ui.set_page_function("call_default_client_dialog", [&](const UiValue& arg) {
            EXPECT_EQ(arg, UiValue(0));
            order.emplace_back("asked");
            return UiValue(c.answer);
        });
        Client client(local_loop, local_ui, desktop, keep_awake, paths, {}, {&shell, &power});
        local_loop.post([&] { local_ui.close_main_window(); });
        EXPECT_EQ(client.run({}), 0);
        const auto dialogs = local_ui.events_named("call_default_client_dialog");
        EXPECT_EQ(dialogs.size(), c.asked ? 1U : 0U);
        const bool registered = std::find(shell.calls.begin(), shell.calls.end(),
                                          "register_associations") != shell.calls.end();
        EXPECT_EQ(registered, c.registered);
        if (c.asked) {
            // after the torrents of the last run came back
            const auto events = local_ui.events();
            const auto restore = std::find_if(events.begin(), events.end(), [](const auto& e) {
                return e.name == "get_torrents_to_restore";
            });
            const auto dialog = std::find_if(events.begin(), events.end(), [](const auto& e) {
                return e.name == "call_default_client_dialog";
            });
            EXPECT_LT(restore, dialog);
        }
    }
}

TEST_F(ClientTest, DesktopCommandsReachTheSessionAndReportItsFailures) {
    test::RecordingShell shell;
    test::RecordingPowerActions power;
    std::atomic<int> exit_asks{0};
    ui.set_page_function("do_exit", [&](const UiValue& arg) {
        ++exit_asks;
        EXPECT_EQ(arg, UiValue(1));  // forced: not merely hidden to the tray
        return UiValue(0);           // the page says no
    });
    ui.set_page_function("call_default_client_dialog", [](const UiValue&) { return UiValue(0); });
    Client client(loop, ui, desktop, keep_awake, paths, {}, {&shell, &power});
    loop.post([&] {
        shell.calls.clear();
        EXPECT_EQ(ui.command("get_default_client_status", {}), UiValue(false));
        EXPECT_EQ(ui.command("do_set_as_default_client", {}), UiValue(true));
        EXPECT_EQ(ui.command("get_default_client_status", {}), UiValue(true));
        EXPECT_EQ(ui.command("set_running_startup", {UiValue(1)}), UiValue(true));
        EXPECT_EQ(ui.command("get_running_startup", {}), UiValue(true));
        EXPECT_EQ(ui.command("set_running_startup", {UiValue("1")}), UiValue(false));
        EXPECT_EQ(shell.calls,
                  (std::vector<std::string>{"is_default_client", "register_associations",
                                            "is_default_client", "set_run_at_log_on true",
                                            "runs_at_log_on", "set_run_at_log_on false"}));

        shell.errors = {{"Permission denied", "/home/u/.config/mimeapps.list"}};
        ui.clear_events();
        EXPECT_EQ(ui.command("do_set_as_default_client", {}), UiValue(true));
        const auto errors = ui.events_named("post_registry_error");
        ASSERT_EQ(errors.size(), 1U);
        EXPECT_EQ(errors[0].arg, UiValue(UiArray{UiValue(61), UiValue("Permission denied"),
                                                 UiValue("/home/u/.config/mimeapps.list")}));

        for (const int choice : {2, 3, 4, 5, 0, 6, -1}) {
            EXPECT_EQ(ui.command("auto_power_options", {UiValue(choice)}), UiValue(true));
        }
        EXPECT_EQ(power.requests(),
                  (std::vector<host::PowerAction>{PowerAction::Hibernate, PowerAction::Reboot,
                                                  PowerAction::PowerOff, PowerAction::Suspend}));
        EXPECT_EQ(ui.command("auto_power_options", {UiValue(1)}), UiValue(true));
        EXPECT_EQ(exit_asks, 0);  // the close comes as a message, after this command
    });
    // the refused close leaves the client running; the window closing ends it
    std::atomic<bool> checked{false};
    std::thread closer([&] {
        for (int i = 0; i < 200 && exit_asks == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        loop.post([&] {
            checked = !loop.is_stopped() && client.state().force_exit == 1;
            ui.close_main_window();
        });
    });
    EXPECT_EQ(client.run({}), 0);
    closer.join();
    EXPECT_EQ(exit_asks, 1);
    EXPECT_TRUE(checked);
}

// Serves the gui loop until the condition holds; false after the limit.
bool serve_until(bridge::GuiLoop& loop,
                 const std::function<bool()>& done,
                 std::chrono::seconds limit = std::chrono::seconds(20)) {
    std::atomic<bool> timed_out{false};
    std::atomic<bool> finished{false};
    std::thread alarm([&] {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!finished && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            loop.wake();
        }
        timed_out = true;
        loop.wake();
    });
    loop.run_until([&] { return done() || timed_out; });
    finished = true;
    alarm.join();
    return done();
}

TEST_F(ClientTest, TheCatalogueIsSearchedAndItsRowsAndHistoryRowsAddByHash) {
    // 20 bytes of date, the base64 hash, the quoted name from byte 51, the size last
    const std::string search_hash = "ASNFZ4mrze8BI0VniavN7wEjRWc=";
    const std::string search_hex = "0123456789abcdef0123456789abcdef01234567";
    const std::string history_hex = "89abcdef0123456789abcdef0123456789abcdef";
    const auto catalogue = dir / "catalogue.csv";
    std::ofstream(catalogue) << "header line that is never matched: Debian\n"
                             << "2024-01-02 03:04:05 ;" << search_hash
                             << ";\"Debian Live Image\";123456\n"
                             << "2024-01-02 03:04:05 ;" << search_hash << ";\"something else\";7\n";
    ui.set_page_function("IndexFromHash", [](const UiValue&) { return UiValue(-1); });
    with_client([&](Client& client) {
        EXPECT_EQ(
            ui.command("set_search",
                       {UiValue(UiArray{UiValue(catalogue.string()), UiValue(0), UiValue(0)})}),
            UiValue(true));
        EXPECT_EQ(ui.command("search", {UiValue("debian")}), UiValue(true));
        ASSERT_TRUE(
            serve_until(loop, [&] { return !ui.events_named("add_search_results").empty(); }));
        const UiValue results = ui.events_named("add_search_results").front().arg;
        ASSERT_EQ(results.as_array().size(), 1U);
        EXPECT_EQ(results.as_array()[0].at_key("name"), UiValue("Debian Live Image"));
        EXPECT_EQ(results.as_array()[0].at_key("hash"), UiValue(search_hash));
        const auto statuses = ui.events_named("set_search_statusbar");
        ASSERT_EQ(statuses.size(), 1U);
        EXPECT_EQ(statuses[0].arg, UiValue(1209));

        EXPECT_EQ(
            ui.command("do_add_search_hash",
                       {UiValue(search_hash), UiValue("Debian Live Image"), UiValue(UiArray{})}),
            UiValue(true));
        EXPECT_EQ(ui.command("do_add_history_hash",
                             {UiValue(history_hex), UiValue("from the history"),
                              UiValue(UiArray{UiValue("http://127.0.0.1:9/announce")})}),
                  UiValue(true));
        lt::session& session = client.engine_session().session();
        EXPECT_TRUE(serve_until(loop, [&] {
            return session.find_torrent(engine::to_hash(search_hex)).is_valid() &&
                   session.find_torrent(engine::to_hash(history_hex)).is_valid();
        }));
    });
}

TEST_F(ClientTest, FunctionKeysReachTheirPageFunctions) {
    Client client = make_client();
    loop.post([&] {
        for (int key = 1; key <= 12; ++key) {
            ui.press_function_key(key);
        }
        ui.close_main_window();
    });
    EXPECT_EQ(client.run({}), 0);
    std::vector<std::string> keys;
    for (const auto& name : event_names()) {
        if (name.rfind("on_f", 0) == 0 || name == "torrent_clipboard") {
            keys.push_back(name);
        }
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"on_f1", "on_f2", "torrent_clipboard", "on_f5",
                                              "on_f6", "on_f7", "on_f9", "on_f12"}));
    EXPECT_EQ(ui.maximize_toggles(), 1);                                              // F11
    EXPECT_EQ(desktop.requests, (std::vector<std::string>{"choose_torrent_files"}));  // F3
}

TEST_F(ClientTest, DroppedFilesAreAddedOnlyWhenThePageAllows) {
    std::filesystem::create_directories(dir / "drop");
    std::ofstream(dir / "drop" / "a.torrent") << "not a torrent";
    int tool = 0;
    ui.set_page_function("get_tool_no", [&tool](const UiValue&) { return UiValue(tool); });
    Client client = make_client();
    loop.post([&] {
        const std::vector<std::string> dropped = {(dir / "drop" / "a.torrent").string(),
                                                  (dir / "drop" / "x.magnet").string(),
                                                  (dir / "drop" / "b.vtr").string()};
        ui.drop_files(dropped);  // the page is busy elsewhere
        tool = 1;
        ui.drop_files(dropped);
        ui.close_main_window();
    });
    EXPECT_EQ(client.run({}), 0);
    std::vector<std::string> adds;
    for (const auto& event : ui.events()) {
        if (event.name == "do_error_adding_torrent") {
            adds.push_back(event.arg.as_array().at(3).as_string());
        } else if (event.name == "vtr_error") {
            adds.push_back(event.arg.as_array().at(1).as_string());
        }
    }
    EXPECT_EQ(ui.events_named("get_tool_no").size(), 2U);
    EXPECT_EQ(adds, (std::vector<std::string>{"a.torrent", (dir / "drop" / "b.vtr").string()}));
}

TEST_F(ClientTest, OpenAsksTheUiEngineForAnotherWindow) {
    Client client = make_client();
    loop.post([&] {
        EXPECT_EQ(ui.command("open", {UiValue("this://app/about.htm")}), UiValue(true));
        EXPECT_EQ(ui.command("open", {UiValue(3), UiValue(0)}), UiValue(false));
        ui.close_main_window();
    });
    EXPECT_EQ(client.run({}), 0);
    EXPECT_EQ(ui.opened_windows(), (std::vector<std::string>{"this://app/about.htm"}));
}

TEST_F(ClientTest, TheWindowsCloseRequestAsksThePage) {
    ui.set_page_function("do_exit", [](const UiValue&) { return UiValue(1); });
    Client client = make_client();
    loop.post([&] { ui.request_close(); });
    EXPECT_EQ(client.run({}), 0);
    EXPECT_EQ(ui.events_named("do_exit").size(), 1U);
    EXPECT_FALSE(client.state().running);
}

TEST_F(ClientTest, StartTimerBringsTheStatusBarOnceASecond) {
    Client client = make_client();
    loop.post([&] {
        EXPECT_EQ(ui.command("start_timer", {}), UiValue(true));
        EXPECT_EQ(ui.command("start_timer", {}), UiValue(true));  // a second call changes nothing
    });
    // the gui looks once every 100 ms and closes after the second status bar
    std::atomic<bool> closing{false};
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    const auto started = std::chrono::steady_clock::now();
    std::thread watcher([&] {
        while (!closing && std::chrono::steady_clock::now() - started < std::chrono::seconds(15)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            loop.post([&] {
                while (arrivals.size() < ui.events_named("do_statusbar").size()) {
                    arrivals.push_back(std::chrono::steady_clock::now());
                }
                if (arrivals.size() >= 2 && !closing.exchange(true)) {
                    ui.close_main_window();
                }
            });
        }
    });
    EXPECT_EQ(client.run({}), 0);
    closing = true;
    watcher.join();
    ASSERT_GE(arrivals.size(), 2U);
    EXPECT_GE(arrivals[0] - started, std::chrono::milliseconds(900));  // not before the first tick
    EXPECT_GE(arrivals[1] - arrivals[0], std::chrono::milliseconds(700));
    EXPECT_GT(keep_awake.calls, 0);
}

TEST_F(ClientTest, TotalsCarryOverAndReset) {
    ui.set_page_function("get_resume_data", [this](const UiValue&) {
        ui.command("set_resumed_settings", {UiValue(UiArray{UiValue(3000), UiValue(2048)})});
        return UiValue(0);
    });
    Client client = make_client();
    loop.post([&] {
        EXPECT_EQ(ui.command("get_resumed_uploaded", {}), UiValue(3000.0));
        EXPECT_EQ(ui.command("get_resumed_downloaded", {}), UiValue(2048.0));
        EXPECT_EQ(ui.command("reset_up_down_data", {}),
                  UiValue(UiArray{UiValue("0 bytes"), UiValue("0 bytes")}));
        EXPECT_EQ(ui.command("get_resumed_uploaded", {}), UiValue(0.0));
        ui.close_main_window();
    });
    EXPECT_EQ(client.run({}), 0);
}

TEST_F(ClientTest, OptionSettersStoreThenChangeTheRunningEngine) {
    Client client = make_client();
    loop.post([&] {
        struct Case {
            const char* setter;
            const char* getter;
            UiValue argument;
            UiValue stored;
            int engine_setting;
        };
        using sp = lt::settings_pack;
        const Case cases[] = {
            {"set_downloads_limit", "get_downloads_limit", UiValue(7), UiValue(7),
             sp::active_downloads},
            {"set_tracker_active_limit", "get_active_tracker_limit", UiValue(9), UiValue(9),
             sp::active_tracker_limit},  // the alias shares its setting
            {"set_max_total_peers", "get_max_total_peers", UiValue("12"), UiValue(0),
             sp::max_peerlist_size},  // a string reads as 0
            {"set_tracker_prefer_udp", "get_tracker_prefer_udp", UiValue(2), UiValue(true),
             sp::prefer_udp_trackers},
            {"set_prefer_seeds", "get_prefer_seeds", UiValue("yes"), UiValue(false),
             sp::auto_manage_prefer_seeds},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.setter);
            EXPECT_EQ(ui.command(c.setter, {c.argument}), c.stored);
            EXPECT_EQ(ui.command(c.getter, {}), c.stored);
            const lt::settings_pack live = client.engine_session().session().get_settings();
            if (c.stored.is_bool()) {
                EXPECT_EQ(live.get_bool(c.engine_setting), c.stored.as_bool());
            } else {
                EXPECT_EQ(live.get_int(c.engine_setting), c.stored.as_int());
            }
        }
        EXPECT_EQ(ui.command("set_max_peers", {UiValue(5)}), UiValue(5));
        EXPECT_EQ(client.settings().max_peers_torrent, 5);
        EXPECT_EQ(ui.command("set_auto_management", {UiValue(1)}), UiValue(true));
        EXPECT_EQ(ui.command("get_auto_management", {}), UiValue(true));
        ui.close_main_window();
    });
    EXPECT_EQ(client.run({}), 0);
}

}  // namespace
}  // namespace velmora::host
