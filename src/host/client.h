// The client's life cycle: start-up in its fixed order, the loop, and the ordered ends.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/bridge/gui_marshal.h"
#include "velmora/bridge/ui_engine.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/config/client_settings.h"
#include "velmora/host/app_paths.h"
#include "velmora/host/app_state.h"
#include "velmora/host/command_context.h"
#include "velmora/host/desktop.h"
#include "velmora/host/shell.h"

namespace velmora::engine {
class EngineSession;
class KeepAwake;
}  // namespace velmora::engine

namespace velmora::services {
class CatalogueSearch;
}

namespace velmora::host {

// The add flow a command-line text is handed to; inline, so that its fuzzer need not link the
// client.
enum class ArgumentFlow { Magnet, TorrentFile, RecordFile, None };
inline ArgumentFlow argument_flow(std::string_view text) {
    // tested in this order, case-sensitively
    if (text.find("magnet:") != std::string_view::npos) {
        return ArgumentFlow::Magnet;
    }
    if (text.find(".torrent") != std::string_view::npos) {
        return ArgumentFlow::TorrentFile;
    }
    if (text.find(".vtr") != std::string_view::npos) {
        return ArgumentFlow::RecordFile;
    }
    return ArgumentFlow::None;
}

// Called once the window exists, so that later copies can reach this one; and at exit
// step "release the instance markers".
struct InstanceHooks {
    std::function<void()> start_listening;
    std::function<void()> release;
};

// The user's desktop session: the handler registrations and the power actions. Absent, its
// commands do nothing.
struct DesktopSession {
    Shell* shell = nullptr;
    PowerActions* power = nullptr;
};

// Thread: gui for everything, except where a method says otherwise. Constructed on the gui
// thread after the single-instance test passed.
class Client final : public bridge::UiEngineHost {
public:
    Client(bridge::GuiLoop& loop,
           bridge::UiEngine& ui,
           Desktop& desktop,
           engine::KeepAwake& keep_awake,
           AppPaths paths,
           InstanceHooks instance,
           DesktopSession session = {});
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Runs start-up with the arguments after the program name, then the loop; the exit code.
    int run(std::vector<std::string> args);

    // Hands a command-line text to the add flow it names (magnet link, torrent or record).
    void route_argument(const std::string& text);
    // The window's close request; true when the client is now exiting.
    bool request_close();
    void run_exit_sequence();
    void run_end_session();
    // Thread: any. A termination signal: the session is saved and the client ends with 0.
    void on_termination_signal();

    // bridge::UiEngineHost
    std::optional<bridge::UiValue> dispatch_command(std::string_view name,
                                                    std::span<const bridge::UiValue> args) override;
    void on_main_page_connected() override;
    void on_main_window_closed() override;
    void on_function_key(int number) override;
    void on_files_dropped(const std::vector<std::string>& paths) override;
    void on_close_requested() override;

    AppState& state() { return state_; }
    AppPaths& paths() { return paths_; }
    config::ClientSettings& settings() { return settings_; }
    bridge::UiEventSink& events() { return events_; }
    const bridge::CommandTable& commands() const { return *commands_; }
    // The engine parts: the session, the tick, the lifecycle. Null never; its insides come to
    // life in start-up.
    struct Engine;
    Engine& engine() { return *engine_; }
    engine::EngineSession& engine_session();

private:
    void start_up();
    void load_settings();
    void hand_over_pre_run_errors();
    void save_settings();
    void release_instance();
    void add_chosen_torrent_files();
    void stop_ticks();
    bool serve_until(const std::function<bool()>& done, std::chrono::milliseconds limit);
    void pause_ticks();

    bridge::GuiLoop& loop_;
    bridge::UiEngine& ui_;
    Desktop& desktop_;
    AppState state_;
    AppPaths paths_;
    config::ClientSettings settings_;
    InstanceHooks instance_;
    bridge::EventChannel events_;
    std::unique_ptr<services::CatalogueSearch> search_;
    CommandContext context_;
    std::unique_ptr<bridge::CommandTable> commands_;
    std::unique_ptr<Engine> engine_;  // last: it goes first, while everything it uses is alive
    bool loop_running_ = false;
    bool close_pending_ = false;
    bool ended_ = false;
};

}  // namespace velmora::host
