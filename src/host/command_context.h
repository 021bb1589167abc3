// What command handlers reach: the process-wide records and the platform.
#pragma once

#include <functional>

namespace velmora::bridge {
class UiEngine;
class UiEventSink;
}  // namespace velmora::bridge
namespace velmora::config {
struct ClientSettings;
}
namespace velmora::services {
class CatalogueSearch;
}

namespace velmora::host {

struct AppState;
struct TorrentServices;
struct AppPaths;
class Desktop;
class Shell;
class PowerActions;

struct CommandContext {
    AppState& state;
    AppPaths& paths;
    config::ClientSettings& settings;
    Desktop& desktop;
    bridge::UiEventSink& events;
    bridge::UiEngine* ui = nullptr;
    // Set once the engine runs.
    TorrentServices* torrents = nullptr;
    // The user's desktop session; without one its commands answer their usual results.
    Shell* shell = nullptr;
    PowerActions* power = nullptr;
    services::CatalogueSearch* search = nullptr;
    // Asks the main window to close as its close button does.
    std::function<void()> post_close = {};
};

}  // namespace velmora::host
