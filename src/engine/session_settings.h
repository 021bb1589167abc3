// How the client's settings become the engine's: alert mask, interfaces and the settings pack.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include <libtorrent/session_handle.hpp>
#include <libtorrent/settings_pack.hpp>

#include "velmora/config/client_settings.h"

namespace velmora::engine {

// The four engine log categories, in the order their loggers are made.
enum class LogCategory { Session, Torrent, Peer, Dht };
inline constexpr std::array<LogCategory, 4> kLogCategories{
    LogCategory::Session, LogCategory::Torrent, LogCategory::Peer, LogCategory::Dht};

const char* log_category_name(LogCategory category);  // "session", "torrent", "peer", "dht"
const char* log_file_name(LogCategory category);      // "velmora_session.log", ...
inline constexpr const char* kAssertLogFileName = "velmora_asserts.log";
bool log_enabled(const config::ClientSettings& settings, LogCategory category);

struct AlertSetup {
    std::uint32_t mask = 0;
    std::int32_t queue_size = 0;
};
// The always-on categories, widened by every enabled log category; a larger queue for each.
AlertSetup alert_setup(const config::ClientSettings& settings);

// Raises the session's alert queue so that a burst of `alerts` answers (a restore's adds, a bulk
// save's resume data) fits beside the usual traffic: the engine drops what does not fit, and a
// dropped answer is a torrent never restored or never saved. Never lowers it.
void make_alert_room(lt::session_handle& session, std::size_t alerts);

// The random listen port of the "random port each start" mode: uniform over 49152..65535.
std::int32_t draw_random_port(std::time_t now);

struct Interfaces {
    std::string listen;
    std::string outgoing;  // empty: the engine's own choice
};
Interfaces interfaces_for(const config::ClientSettings& settings, std::int32_t random_port);
// The same listen entries bound to the loopback addresses only; the adapter lock is ignored.
Interfaces loopback_interfaces_for(const config::ClientSettings& settings,
                                   std::int32_t random_port);

// True when VELMORA_LOOPBACK_ONLY is "1": the engine then never switches DHT, LSD, UPnP or NAT-PMP
// on, gets no DHT routers, listens on loopback only and refuses every non-loopback peer or tracker.
bool loopback_only_from_environment();

struct PackInputs {
    AlertSetup alerts;
    Interfaces interfaces;
    bool loopback_only = false;
};
// The pack the session is built with: every engine key the settings carry (by the engine's own
// names), plus the values the client decides itself.
lt::settings_pack settings_pack_for(const config::ClientSettings& settings, const PackInputs& in);
// The DHT tuning the client applies when DHT is on.
lt::settings_pack dht_tuning_for(const config::ClientSettings& settings);

}  // namespace velmora::engine
