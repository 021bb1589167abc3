// Start-up, the close request and the two ordered ends of the client.
#include "velmora/host/client.h"

#include <filesystem>
#include <iostream>

#include "velmora/bridge/event_names.h"
#include "velmora/config/advanced_settings_xml.h"
#include "velmora/host/command_list.h"

namespace velmora::host {
namespace {

constexpr const char* kMinimisedArgument = "/m";
constexpr const char* kPageStoreMarker = "settings.db";

}  // namespace

Client::Client(bridge::GuiLoop& loop,
               bridge::UiEngine& ui,
               Desktop& desktop,
               AppPaths paths,
               InstanceHooks instance)
    : loop_(loop),
      ui_(ui),
      desktop_(desktop),
      paths_(std::move(paths)),
      instance_(std::move(instance)),
      events_(loop, ui, state_.exiting),
      context_{state_, paths_, settings_, desktop_, events_},
      commands_(std::make_unique<bridge::CommandTable>(command_list(context_))) {}

Client::~Client() = default;

int Client::run(std::vector<std::string> args) {
    loop_.assert_gui_thread();
    for (const auto& arg : args) {
        if (arg == kMinimisedArgument) {
            state_.minimised_start = true;
        }
    }
    state_.start_args = std::move(args);
    state_.args_pending = true;
    start_up();
    if (close_pending_) {
        run_exit_sequence();
    }
    loop_running_ = true;
    const int exit_code = loop_.is_stopped() ? 0 : loop_.run();
    loop_running_ = false;
    ui_.stop();
    return exit_code;
}

void Client::start_up() {
    create_app_folders(paths_);
    load_settings();
    // A first run has no page settings store yet: the adapter lock would bind to an adapter
    // the user never chose.
    std::error_code ec;
    if (!std::filesystem::exists(paths_.appdata_folder / kPageStoreMarker, ec)) {
        settings_.lock_adapter = false;
    }
    if (!ui_.start(*this, loop_)) {
        std::cerr << "velmora: the user interface could not be started\n";
        loop_.quit(1);
        return;
    }
    if (instance_.start_listening) {
        instance_.start_listening();
    }
    ui_.wait_for_main_page(std::chrono::milliseconds::max());
    events_.ui_call(bridge::event::kGetResumeData, bridge::UiValue(std::int32_t{0}));
    hand_over_pre_run_errors();
    ui_.show_main_window();
    if (state_.args_pending) {
        state_.args_pending = false;
        for (const auto& arg : state_.start_args) {
            route_argument(arg);
        }
    }
}

void Client::load_settings() {
    if (auto problem = config::load_advanced_settings(paths_.advanced_settings_file, settings_)) {
        state_.pre_run_errors.push_back({problem->ui_text_id, std::move(problem->detail)});
    }
}

void Client::hand_over_pre_run_errors() {
    for (const auto& error : state_.pre_run_errors) {
        events_.ui_call(bridge::event::kPreRunErrors,
                        bridge::UiArray{bridge::UiValue(std::int32_t{error.ui_text_id}),
                                        bridge::UiValue(error.detail)});
    }
    state_.pre_run_errors.clear();
}

void Client::save_settings() {
    if (!config::save_advanced_settings(paths_.advanced_settings_file, settings_)) {
        std::cerr << "velmora: could not write " << paths_.advanced_settings_file << '\n';
    }
}

void Client::route_argument(const std::string& text) {
    // Tested in this order, case-sensitively; the add flows arrive with the torrent engine.
    if (text.find("magnet:") != std::string::npos) {
        std::cerr << "velmora: magnet link received\n";
    } else if (text.find(".torrent") != std::string::npos) {
        std::cerr << "velmora: torrent file received: " << text << '\n';
    } else if (text.find(".vtr") != std::string::npos) {
        std::cerr << "velmora: record file received: " << text << '\n';
    }
}

bool Client::request_close() {
    if (state_.force_exit == 0 && settings_.close_tray && settings_.show_tray) {
        return false;  // only hidden to the tray
    }
    const bridge::UiValue answer =
        events_.ui_call(bridge::event::kDoExit, bridge::UiValue(std::int32_t{state_.force_exit}));
    if (!answer.is_int() || answer.as_int() == 0) {
        return false;
    }
    run_exit_sequence();
    return true;
}

void Client::run_exit_sequence() {
    if (ended_) {
        return;
    }
    ended_ = true;
    state_.running = false;
    state_.exiting = true;
    save_settings();
    events_.ui_call(bridge::event::kExitSession, bridge::UiValue(std::int32_t{0}));
    release_instance();
    loop_.quit(0);
}

void Client::run_end_session() {
    save_settings();
    events_.ui_call(bridge::event::kLoggingOff, bridge::UiValue(std::int32_t{0}));
}

void Client::on_termination_signal() {
    loop_.post([this] {
        if (ended_) {
            return;
        }
        ended_ = true;
        run_end_session();
        state_.running = false;
        state_.exiting = true;
        release_instance();
        loop_.quit(0);
    });
}

void Client::release_instance() {
    if (instance_.release) {
        instance_.release();
    }
}

std::optional<bridge::UiValue> Client::dispatch_command(std::string_view name,
                                                        std::span<const bridge::UiValue> args) {
    return commands_->dispatch(name, args);
}

void Client::on_main_page_connected() {}

void Client::on_main_window_closed() {
    if (!loop_running_) {
        close_pending_ = true;  // start-up finishes first, then the exit sequence runs
        return;
    }
    run_exit_sequence();
}

}  // namespace velmora::host
