// Start-up, the close request and the two ordered ends of the client.
#include "velmora/host/client.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "velmora/bridge/event_names.h"
#include "velmora/config/advanced_settings_xml.h"
#include "velmora/engine/alert_pump.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/session_settings.h"
#include "velmora/engine/status_reporter.h"
#include "velmora/host/command_list.h"
#include "velmora/host/shell_commands.h"
#include "velmora/host/tick_timer.h"
#include "velmora/host/torrent_commands.h"
#include "velmora/lifecycle/file_io.h"
#include "velmora/lifecycle/torrent_creation.h"
#include "velmora/lifecycle/torrent_lifecycle.h"
#include "velmora/services/catalogue_search.h"
#include "velmora/services/country_lookup.h"
#include "velmora/services/file_hashes.h"

namespace velmora::host {
namespace {

constexpr const char* kMinimisedArgument = "/m";
constexpr const char* kPageStoreMarker = "settings.db";
constexpr std::chrono::milliseconds kTickPeriod{1000};
constexpr std::chrono::milliseconds kTickWaitLimit{3000};

// The job queues the status-bar refresh drives.
class JobQueues final : public engine::JobQueueHooks {
public:
    // All three are built after the queues and used only once ticks run.
    JobQueues(services::FileHashQueue* hashes,
              lifecycle::TorrentCreator* creator,
              lifecycle::TorrentLifecycle* lifecycle)
        : hashes_(hashes), creator_(creator), lifecycle_(lifecycle) {}
    void start_next_jobs() override {
        hashes_->start_next();
        creator_->start_next();
        lifecycle_->operations().start_next_move();
    }
    std::int32_t storage_moves() const override { return lifecycle_->operations().moves_queued(); }
    std::int32_t creations_queued() const override {
        return static_cast<std::int32_t>(creator_->queue_length());
    }

private:
    services::FileHashQueue* hashes_;
    lifecycle::TorrentCreator* creator_;
    lifecycle::TorrentLifecycle* lifecycle_;
};

lifecycle::LifecycleFolders lifecycle_folders(const AppPaths& paths) {
    const char* home = std::getenv("HOME");
    return {paths.record_folder,
            [&paths] { return shared_folder(paths, &AppPaths::user_download_folder); },
            [&paths] { return shared_folder(paths, &AppPaths::completed_downloads_folder); },
            [&paths] {
                return std::vector<std::filesystem::path>{
                    shared_folder(paths, &AppPaths::user_download_folder),
                    paths.default_download_folder,
                    shared_folder(paths, &AppPaths::completed_downloads_folder)};
            },
            home != nullptr ? std::filesystem::path(home) : std::filesystem::path()};
}

}  // namespace

// Built with the client; the session itself starts in start-up, before the pages load.
struct Client::Engine {
    Engine(Client& client, engine::KeepAwake& keep_awake)
        : session(client.settings_,
                  client.paths_.log_folder,
                  client.events_,
                  engine::loopback_only_from_environment()),
          jobs(&hashes, &creator, &lifecycle),
          countries(client.events_),
          status(client.settings_,
                 client.state_.running,
                 client.events_,
                 country_lookup(),
                 keep_awake,
                 jobs),
          hashes(client.events_,
                 {client.state_.running, client.state_.exiting},
                 [this](std::function<void()> job) { lifecycle.start_worker(std::move(job)); }),
          lifecycle(session,
                    client.settings_,
                    client.state_.running,
                    status,
                    client.events_,
                    lifecycle_folders(client.paths_)),
          creator(client.events_,
                  client.state_.running,
                  [this](const std::filesystem::path& torrent, const std::string& save_path) {
                      lifecycle.add_torrent_file(torrent, save_path, false);
                  }),
          pump(session,
               client.settings_,
               client.state_.running,
               flags,
               status,
               lifecycle,
               client.events_,
               country_lookup()),
          services{lifecycle,
                   status.totals(),
                   [this, &client] {
                       timer.start([this] { pump.tick(); }, kTickPeriod,
                                   [&client] { client.loop_.wake(); }, [this] { pump.drain(); });
                   },
                   [&client] { client.save_settings(); },
                   session,
                   flags,
                   status,
                   hashes,
                   countries,
                   creator} {}

    engine::CountryLookup country_lookup() {
        return [this](const lt::address& address) {
            return countries.country_code_of(address.to_string());
        };
    }

    engine::EngineSession session;
    engine::EngineFlags flags;
    JobQueues jobs;
    services::CountryDatabase countries;
    engine::StatusReporter status;
    // Before the lifecycle, whose worker count waits for the hash workers at the end.
    services::FileHashQueue hashes;
    lifecycle::TorrentLifecycle lifecycle;
    // After the lifecycle, which it hands new torrents to: its worker ends first.
    lifecycle::TorrentCreator creator;
    engine::AlertPump pump;
    TickTimer timer;
    TorrentServices services;
};

Client::Client(bridge::GuiLoop& loop,
               bridge::UiEngine& ui,
               Desktop& desktop,
               engine::KeepAwake& keep_awake,
               AppPaths paths,
               InstanceHooks instance,
               DesktopSession session)
    : loop_(loop),
      ui_(ui),
      desktop_(desktop),
      paths_(std::move(paths)),
      instance_(std::move(instance)),
      events_(loop, ui, state_.exiting),
      search_(std::make_unique<services::CatalogueSearch>(events_)),
      context_{.state = state_,
               .paths = paths_,
               .settings = settings_,
               .desktop = desktop_,
               .events = events_,
               .shell = session.shell,
               .power = session.power,
               .search = search_.get(),
               .post_close = [this] { loop_.post([this] { request_close(); }); }},
      commands_(std::make_unique<bridge::CommandTable>(command_list(context_))),
      engine_(std::make_unique<Engine>(*this, keep_awake)) {
    context_.torrents = &engine_->services;
    context_.ui = &ui_;
}

Client::~Client() {
    // workers still waiting for the page get their undefined answer at once
    state_.running = false;
    state_.exiting = true;
    engine_->session.set_alert_notify({});
    engine_->timer.stop();
}

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
    lifecycle::remove_stale_temporaries(paths_.record_folder);
    lifecycle::remove_stale_temporaries(paths_.advanced_settings_file.parent_path());
    load_settings();
    // A first run has no page settings store yet: the adapter lock would bind to an adapter
    // the user never chose.
    std::error_code ec;
    if (!std::filesystem::exists(paths_.appdata_folder / kPageStoreMarker, ec)) {
        settings_.lock_adapter = false;
    }
    engine_->session.start();
    // A restore's adds are answered as they come, not a tick later each.
    engine_->session.set_alert_notify([engine = engine_.get()] {
        if (engine->lifecycle.restoring()) {
            engine->timer.hurry();
        }
    });
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
    engine_->countries.open();
    engine_->lifecycle.restore_session();
    // the queue may hold alerts from before the restore, which no new alert would announce
    engine_->timer.hurry();
    ui_.show_main_window();
    state_.window_shown = true;
    if (state_.args_pending) {
        state_.args_pending = false;
        for (const auto& arg : state_.start_args) {
            route_argument(arg);
        }
    }
    if (context_.shell != nullptr) {
        run_default_client_check(settings_.default_client_check, *context_.shell, events_);
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
    auto& lifecycle = engine_->lifecycle;
    switch (argument_flow(text)) {
        case ArgumentFlow::Magnet:
            lifecycle.add_magnet(text);
            break;
        case ArgumentFlow::TorrentFile:
            lifecycle.add_torrent_file(text, {}, false);
            break;
        case ArgumentFlow::RecordFile:
            lifecycle.add_record_file(text);
            break;
        case ArgumentFlow::None:
            break;
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
    stop_ticks();
    save_settings();
    engine_->lifecycle.save_all_records(true, &engine_->pump);
    events_.ui_call(bridge::event::kExitSession, bridge::UiValue(std::int32_t{0}));
    release_instance();
    loop_.quit(0);
}

void Client::run_end_session() {
    save_settings();
    events_.ui_call(bridge::event::kLoggingOff, bridge::UiValue(std::int32_t{0}));
    pause_ticks();
    engine_->lifecycle.save_all_records(false, &engine_->pump);
}

// A running tick may be waiting for the page, which only this thread serves, so the loop runs
// while it waits. When the end was itself asked for from inside a page call that serves the
// tick, the tick cannot end before this returns: after the limit the end goes on without it
// (the tick then stops at its next alert, since running is cleared).
bool Client::serve_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::atomic<bool> finished{false};
    std::thread alarm([&] {
        while (!finished && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        loop_.wake();
    });
    loop_.run_until([&] { return done() || std::chrono::steady_clock::now() >= deadline; });
    finished = true;
    alarm.join();
    return done();
}

void Client::stop_ticks() {
    engine_->timer.request_stop();
    if (serve_until([this] { return !engine_->timer.ticking(); }, kTickWaitLimit)) {
        engine_->timer.stop();
    }
}

void Client::pause_ticks() {
    engine_->pump.request_hold([this] { loop_.wake(); });
    serve_until([this] { return engine_->pump.idle(); }, kTickWaitLimit);
}

void Client::on_termination_signal() {
    loop_.post([this] {
        if (ended_) {
            return;
        }
        ended_ = true;
        // before the save: a tick waiting for the page goes on at once, whichever page call
        // this task runs inside of
        state_.exiting = true;
        run_end_session();
        state_.running = false;
        stop_ticks();
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

engine::EngineSession& Client::engine_session() {
    return engine_->session;
}

void Client::on_function_key(int number) {
    namespace ev = bridge::event;
    // F1 arrives as the help request; F8 and F10 are the desktop's
    static constexpr std::pair<int, std::string_view> kKeyEvents[] = {
        {1, ev::kOnF1}, {2, ev::kOnF2}, {4, ev::kTorrentClipboard}, {5, ev::kOnF5}, {6, ev::kOnF6},
        {7, ev::kOnF7}, {9, ev::kOnF9}, {12, ev::kOnF12},
    };
    if (number == 3) {
        add_chosen_torrent_files();
        return;
    }
    if (number == 11) {
        ui_.toggle_maximized();
        return;
    }
    for (const auto& [key, event] : kKeyEvents) {
        if (key == number) {
            events_.ui_call(event, bridge::UiValue());
            return;
        }
    }
}

void Client::add_chosen_torrent_files() {
    for (const auto& file : desktop_.choose_torrent_files()) {
        engine_->lifecycle.add_torrent_file(file, {}, false);
    }
}

void Client::on_files_dropped(const std::vector<std::string>& paths) {
    // the page decides whether a drop adds anything (it may show a dialog of its own)
    const bridge::UiValue tool = events_.ui_call(bridge::event::kGetToolNo, bridge::UiValue(0));
    if (tool.read_int() != 1) {
        return;
    }
    for (const auto& path : paths) {
        if (path.find(".torrent") != std::string::npos) {
            engine_->lifecycle.add_torrent_file(path, {}, false);
        } else if (path.find(".vtr") != std::string::npos) {
            engine_->lifecycle.add_record_file(path);
        }
    }
}

void Client::on_close_requested() {
    request_close();
}

void Client::on_main_window_closed() {
    if (!loop_running_) {
        close_pending_ = true;  // start-up finishes first, then the exit sequence runs
        return;
    }
    run_exit_sequence();
}

}  // namespace velmora::host
