// The commands that reach the torrent engine: adding torrents, the tick, the transfer totals.
#pragma once

#include <functional>
#include <vector>

#include <libtorrent/torrent_handle.hpp>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::engine {
struct EngineFlags;
class EngineSession;
class StatusReporter;
class TransferTotals;
}  // namespace velmora::engine
namespace velmora::lifecycle {
class TorrentCreator;
class TorrentLifecycle;
}  // namespace velmora::lifecycle
namespace velmora::services {
class CountryDatabase;
class FileHashQueue;
}  // namespace velmora::services

namespace velmora::host {

// What the engine commands act on; absent while no engine runs (they then answer as usual).
struct TorrentServices {
    lifecycle::TorrentLifecycle& lifecycle;
    engine::TransferTotals& totals;
    std::function<void()> start_timer;
    std::function<void()> save_settings;
    engine::EngineSession& session;
    engine::EngineFlags& flags;
    engine::StatusReporter& status;
    services::FileHashQueue& hashes;
    services::CountryDatabase& countries;
    lifecycle::TorrentCreator& creator;
};

using bridge::CommandArgs;
using bridge::UiValue;

// The engine services while a session runs; null before it starts and after it ends.
TorrentServices* running_engine(CommandContext& ctx);

// The torrent a command names by its key text (40 lowercase hex digits). Invalid when the text
// is malformed, the engine is not running or the torrent is not in the session (a stopped
// torrent is not).
lt::torrent_handle find_torrent(TorrentServices& services, const UiValue& hash);

// Stop, start, delete and move: the commands whose work goes through the torrent's record or
// its data on disk.
std::vector<bridge::CommandEntry> record_operation_commands(TorrentServices*& services);

UiValue cmd_add_torrent_to_session(TorrentServices& services, const CommandArgs& args);
UiValue cmd_do_add_magnet_link(TorrentServices& services, const CommandArgs& args);
// Offers every torrent file of the folder (its own entries only) to the add flow as an
// automatic load; false, and no scan, when the folder does not exist.
UiValue cmd_do_auto_load_folder(TorrentServices& services, const CommandArgs& args);
UiValue cmd_do_get_file_hashes(TorrentServices& services, const CommandArgs& args);
UiValue cmd_timer_events(TorrentServices& services, const CommandArgs& args);
UiValue cmd_start_timer(TorrentServices& services);
UiValue cmd_get_resumed_uploaded(TorrentServices& services);
UiValue cmd_get_resumed_downloaded(TorrentServices& services);
UiValue cmd_reset_up_down_data(TorrentServices& services);

}  // namespace velmora::host
