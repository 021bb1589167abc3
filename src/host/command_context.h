// What command handlers reach: the process-wide records and the platform.
#pragma once

namespace velmora::bridge {
class UiEngine;
class UiEventSink;
}  // namespace velmora::bridge
namespace velmora::config {
struct ClientSettings;
}

namespace velmora::host {

struct AppState;
struct TorrentServices;
struct AppPaths;
class Desktop;

struct CommandContext {
    AppState& state;
    AppPaths& paths;
    config::ClientSettings& settings;
    Desktop& desktop;
    bridge::UiEventSink& events;
    bridge::UiEngine* ui = nullptr;
    // Set once the engine runs.
    TorrentServices* torrents = nullptr;
};

}  // namespace velmora::host
