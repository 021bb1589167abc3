// A torrent lifecycle on a real loopback engine, ticked as the client ticks it.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_fixtures.h"
#include "support/temp_dir.h"
#include "velmora/engine/alert_pump.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/engine/status_reporter.h"
#include "velmora/lifecycle/torrent_lifecycle.h"

namespace velmora::lifecycle {

struct NoSleepControl final : engine::KeepAwake {
    void set_system_required(bool) override {}
};

class LifecycleRig : public ::testing::Test {
protected:
    LifecycleRig() {
        std::filesystem::create_directories(downloads);
        std::filesystem::create_directories(records);
        std::filesystem::create_directories(dir / "logs");
        page.answer("IndexFromHash", bridge::UiValue(-1));
        engine = std::make_unique<engine::EngineSession>(settings, dir / "logs", page, true);
        engine->start();
        status = std::make_unique<engine::StatusReporter>(settings, running, page, nullptr,
                                                          no_sleep, jobs);
        lifecycle = std::make_unique<TorrentLifecycle>(
            *engine, settings, running, *status, page,
            LifecycleFolders{records, [this] { return downloads; }, [this] { return completed; },
                             [this] {
                                 return std::vector<std::filesystem::path>{downloads, completed};
                             },
                             dir / "home"});
        pump = std::make_unique<engine::AlertPump>(*engine, settings, running, flags, *status,
                                                   *lifecycle, page, nullptr);
        ticker = std::thread([this] {
            while (!stop_ticks) {
                pump->tick();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }

    ~LifecycleRig() override {
        stop_ticks = true;
        ticker.join();
        lifecycle.reset();
    }

    bool in_session(const std::string& hash) {
        for (const auto& h : engine->session().get_torrents()) {
            if (engine::torrent_key(h.info_hashes()) == hash) {
                return true;
            }
        }
        return false;
    }

    test::TempDir dir;
    std::filesystem::path downloads = dir / "downloads";
    std::filesystem::path records = dir / "records";
    std::filesystem::path completed;  // none unless a test sets one
    config::ClientSettings settings = test::loopback_client_settings();
    std::atomic<bool> running{true};
    test::RecordingPage page;
    NoSleepControl no_sleep;
    // The move queue runs on the status-bar refresh, as in the client.
    struct MoveQueue final : engine::JobQueueHooks {
        explicit MoveQueue(LifecycleRig& rig) : rig_(rig) {}
        void start_next_jobs() override {
            if (rig_.lifecycle) {
                rig_.lifecycle->operations().start_next_move();
            }
        }
        LifecycleRig& rig_;
    };
    MoveQueue jobs{*this};
    engine::EngineFlags flags;
    std::unique_ptr<engine::EngineSession> engine;
    std::unique_ptr<engine::StatusReporter> status;
    std::unique_ptr<TorrentLifecycle> lifecycle;
    std::unique_ptr<engine::AlertPump> pump;
    std::atomic<bool> stop_ticks{false};
    std::thread ticker;
};

}  // namespace velmora::lifecycle
