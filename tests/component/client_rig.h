// A real client on the headless page, its folders in a temporary home and the loopback test
// settings in its settings file.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "support/engine_fixtures.h"
#include "support/recording_desktop.h"
#include "support/recording_keep_awake.h"
#include "support/temp_dir.h"
#include "velmora/bridge/headless_ui_engine.h"
#include "velmora/config/advanced_settings_xml.h"
#include "velmora/engine/engine_session.h"
#include "velmora/host/client.h"

namespace velmora::host {

class ClientRig : public ::testing::Test {
protected:
    ClientRig() {
        // a client started by hand, outside the test runner, stays on loopback too
        ::setenv("VELMORA_LOOPBACK_ONLY", "1", 1);
        PathEnvironment env;
        env.home_override = (dir / "app").string();
        env.home = (dir / "home").string();
        paths = make_app_paths(env);
        std::filesystem::create_directories(paths.appdata_folder);
        config::save_advanced_settings(paths.advanced_settings_file,
                                       test::loopback_client_settings());
    }

    // Runs `body` on the gui thread of a started client, then closes it.
    void with_client(const std::function<void(Client&)>& body) {
        Client client(loop, ui, desktop, keep_awake, paths, {});
        loop.post([&] {
            ASSERT_TRUE(client.engine_session().loopback_only());
            body(client);
            ui.close_main_window();
        });
        EXPECT_EQ(client.run({}), 0);
    }

    test::TempDir dir;
    AppPaths paths;
    bridge::GuiLoop loop;
    bridge::HeadlessUiEngine ui;
    test::RecordingKeepAwake keep_awake;
    test::RecordingDesktop desktop;
};

}  // namespace velmora::host
