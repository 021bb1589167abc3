// The per-torrent commands of the torrent list: each acts on one torrent of the engine session.
#include "velmora/host/torrent_operation_commands.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <libtorrent/address.hpp>
#include <libtorrent/announce_entry.hpp>
#include <libtorrent/download_priority.hpp>
#include <libtorrent/socket.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>

#include "velmora/config/client_settings.h"
#include "velmora/engine/status_reporter.h"
#include "velmora/host/torrent_commands.h"

namespace velmora::host {
namespace {

using bridge::CommandEntry;
using bridge::UsualResult;

// What a command does to a torrent that is in the session.
using TorrentAction = std::function<void(const lt::torrent_handle&, const CommandArgs&)>;

// Answers whether the torrent was found; false while no engine runs.
CommandEntry found_command(CommandContext& ctx, std::string name, TorrentAction action) {
    return {std::move(name), 1, UsualResult::False,
            [&ctx, action = std::move(action)](const CommandArgs& args) {
                if (ctx.torrents == nullptr) {
                    return UiValue(false);
                }
                const lt::torrent_handle handle = find_torrent(*ctx.torrents, args[0]);
                if (handle.is_valid()) {
                    action(handle, args);
                }
                return UiValue(handle.is_valid());
            }};
}

// Answers true whether or not the torrent named by the argument at `hash_at` was found.
CommandEntry plain_command(
    CommandContext& ctx, std::string name, int arity, std::size_t hash_at, TorrentAction action) {
    return {std::move(name), arity, UsualResult::True,
            [&ctx, hash_at, action = std::move(action)](const CommandArgs& args) {
                if (ctx.torrents != nullptr) {
                    const lt::torrent_handle handle = find_torrent(*ctx.torrents, args[hash_at]);
                    if (handle.is_valid()) {
                        action(handle, args);
                    }
                }
                return UiValue(true);
            }};
}

CommandEntry flag_command(CommandContext& ctx, std::string name, lt::torrent_flags_t flag) {
    return plain_command(ctx, std::move(name), 2, 0,
                         [flag](const lt::torrent_handle& handle, const CommandArgs& args) {
                             if (args.bool_at(1)) {
                                 handle.set_flags(flag);
                             } else {
                                 handle.unset_flags(flag);
                             }
                         });
}

// The pages keep their tracker lists only from this event, so the commands that change the
// list send it when the pages are told only about changes.
void report_changed_trackers(CommandContext& ctx, const lt::torrent_handle& handle) {
    if (ctx.settings.update_only_changed_torrents) {
        ctx.torrents->status.update_torrents_trackers(handle);
    }
}

void reannounce_to_all(const lt::torrent_handle& handle) {
    handle.force_reannounce(0, -1);
}

// Items that are not texts, and empty texts, name no tracker.
std::vector<lt::announce_entry> announce_entries(const bridge::UiArray& urls) {
    std::vector<lt::announce_entry> entries;
    for (const UiValue& url : urls) {
        if (url.is_string() && !url.as_string().empty()) {
            entries.emplace_back(url.as_string());
        }
    }
    return entries;
}

void set_trackers(CommandContext& ctx, const lt::torrent_handle& handle, const CommandArgs& args) {
    handle.replace_trackers(announce_entries(args.array_at(1)));
    reannounce_to_all(handle);
    report_changed_trackers(ctx, handle);
}

void add_tracker(CommandContext& ctx, const lt::torrent_handle& handle, const CommandArgs& args) {
    handle.add_tracker(lt::announce_entry(args.text_at(1)));
    reannounce_to_all(handle);
    report_changed_trackers(ctx, handle);
}

// An index outside the list removes nothing; the pages still get the list back, so that a stale
// row of theirs is put right.
void delete_tracker(CommandContext& ctx,
                    const lt::torrent_handle& handle,
                    const CommandArgs& args) {
    const std::int32_t index = args.int_at(1);
    std::vector<lt::announce_entry> trackers = handle.trackers();
    if (index >= 0 && static_cast<std::size_t>(index) < trackers.size()) {
        trackers.erase(trackers.begin() + index);
        handle.replace_trackers(trackers);
        reannounce_to_all(handle);
    }
    ctx.torrents->status.update_torrents_trackers(handle);
}

void update_tracker(const lt::torrent_handle& handle, const CommandArgs& args) {
    handle.force_reannounce(0, args.int_at(1));
    handle.force_dht_announce();
}

// Both kinds of web seed: the pages show them as one list.
void delete_web_seed(const lt::torrent_handle& handle, const CommandArgs& args) {
    const std::string url = args.text_at(1);
    handle.remove_url_seed(url);
    handle.remove_http_seed(url);
}

// Refused rather than guessed: a text that is no address would connect to the unspecified
// address, and a port outside 1..65535 would be cut to some other port.
std::optional<lt::tcp::endpoint> peer_endpoint(const std::string& address_text, std::int32_t port) {
    lt::error_code ec;
    const lt::address address = lt::make_address(address_text, ec);
    if (ec || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return lt::tcp::endpoint(address, static_cast<std::uint16_t>(port));
}

// Arguments: address text, an unused number, port, hash.
void add_peer(const lt::torrent_handle& handle, const CommandArgs& args) {
    if (const auto peer = peer_endpoint(args.text_at(0), args.int_at(2))) {
        handle.connect_peer(*peer);
    }
}

// The engine asserts on a file index outside its torrent, and has no files before the metadata
// arrives, so such a file command does nothing.
std::optional<lt::file_index_t> file_of(const lt::torrent_handle& handle, std::int32_t index) {
    const std::shared_ptr<const lt::torrent_info> info = handle.torrent_file();
    if (!info || index < 0 || index >= info->num_files()) {
        return std::nullopt;
    }
    return lt::file_index_t{index};
}

// Priorities outside the engine's range are brought to its nearest end.
lt::download_priority_t download_priority(std::int32_t value) {
    const std::int32_t lowest = static_cast<std::uint8_t>(lt::dont_download);
    const std::int32_t highest = static_cast<std::uint8_t>(lt::top_priority);
    return lt::download_priority_t{static_cast<std::uint8_t>(std::clamp(value, lowest, highest))};
}

// Arguments: priority, file index, hash.
void set_file_priority(const lt::torrent_handle& handle, const CommandArgs& args) {
    if (const auto file = file_of(handle, args.int_at(1))) {
        handle.file_priority(*file, download_priority(args.int_at(0)));
    }
}

void rename_file(const lt::torrent_handle& handle, const CommandArgs& args) {
    if (const auto file = file_of(handle, args.int_at(1))) {
        handle.rename_file(*file, args.text_at(2));
    }
}

void move_in_queue(const lt::torrent_handle& handle, const CommandArgs& args) {
    if (args.bool_at(1)) {
        handle.queue_position_top();
    } else {
        handle.queue_position_bottom();
    }
}

// A command whose torrent call needs no argument.
TorrentAction call(void (lt::torrent_handle::*method)() const) {
    return [method](const lt::torrent_handle& handle, const CommandArgs&) { (handle.*method)(); };
}

TorrentAction with_context(CommandContext& ctx,
                           void (*action)(CommandContext&,
                                          const lt::torrent_handle&,
                                          const CommandArgs&)) {
    return [&ctx, action](const lt::torrent_handle& handle, const CommandArgs& args) {
        action(ctx, handle, args);
    };
}

}  // namespace

std::vector<CommandEntry> torrent_operation_commands(CommandContext& ctx) {
    return {
        // without the graceful option: the pages expect the peers to be gone at once
        found_command(ctx, "do_pause_torrent",
                      [](const lt::torrent_handle& handle, const CommandArgs&) { handle.pause(); }),
        found_command(ctx, "do_resume_torrent", call(&lt::torrent_handle::resume)),
        found_command(ctx, "do_recheck_torrent", call(&lt::torrent_handle::force_recheck)),
        plain_command(ctx, "set_torrent_trackers", 2, 0, with_context(ctx, set_trackers)),
        plain_command(ctx, "do_add_trackers", 2, 0, with_context(ctx, add_tracker)),
        plain_command(ctx, "do_delete_trackers", 2, 0, with_context(ctx, delete_tracker)),
        plain_command(ctx, "do_update_trackers", 2, 0, update_tracker),
        plain_command(ctx, "do_scrape_trackers", 2, 0,
                      [](const lt::torrent_handle& handle, const CommandArgs& args) {
                          handle.scrape_tracker(args.int_at(1));
                      }),
        plain_command(ctx, "do_add_web_seed", 2, 0,
                      [](const lt::torrent_handle& handle, const CommandArgs& args) {
                          handle.add_url_seed(args.text_at(1));
                      }),
        plain_command(ctx, "do_delete_web_seed", 2, 0, delete_web_seed),
        plain_command(ctx, "do_add_peer_to_torrent", 4, 3, add_peer),
        plain_command(ctx, "set_prioraty", 3, 2, set_file_priority),
        plain_command(ctx, "rename_torrent_file", 3, 0, rename_file),
        flag_command(ctx, "set_sequential_download", lt::torrent_flags::sequential_download),
        flag_command(ctx, "set_share_mode", lt::torrent_flags::share_mode),
        flag_command(ctx, "set_super_seeding", lt::torrent_flags::super_seeding),
        flag_command(ctx, "set_upload_mode", lt::torrent_flags::upload_mode),
        plain_command(ctx, "toggle_queue", 2, 0, move_in_queue),
        plain_command(ctx, "do_clear_error", 1, 0, call(&lt::torrent_handle::clear_error)),
    };
}

}  // namespace velmora::host
