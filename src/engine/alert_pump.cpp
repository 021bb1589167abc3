// The alert dispatch table: each engine alert becomes a page event or lifecycle work.
#include "velmora/engine/alert_pump.h"

#include <exception>
#include <optional>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <malloc.h>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/engine/error_translation.h"
#include "velmora/engine/info_hash_hex.h"

namespace velmora::engine {
namespace {

namespace ev = bridge::event;
using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;

constexpr std::int32_t kCycleError = 74;
constexpr std::int32_t kPerformanceTextBase = 201;
// Torrent updates raised between two hand-backs of the heap's free pages.
constexpr std::uint64_t kUpdatesBetweenReleases = 10000;
// The adds started together at most: a restore's first batch holds tens of thousands, and the
// page is to see the first of them while the pump starts the rest.
constexpr std::size_t kAddsStartedTogether = 1024;

// Which of the nine event toggles gates each kind of engine error.
enum Toggle : std::size_t {
    kFileErrors,
    kLsdErrors,
    kPeerErrors,
    kPerformanceWarnings,
    kPortMappingErrors,
    kUdpErrors,
    kDhtErrors,
    kTrackerErrors,
    kI2pErrors,
};

UiValue int_value(long long v) {
    return UiValue(static_cast<std::int32_t>(v));
}

// The torrent's key from its handle; empty when the torrent is already gone.
std::string hash_of(const lt::torrent_handle& handle) {
    if (!handle.is_valid()) {
        return {};
    }
    try {
        return torrent_key(handle.info_hashes());
    } catch (const std::exception&) {
        return {};
    }
}

std::string hash_of(const lt::torrent_alert& alert) {
    return hash_of(alert.handle);
}

// [message, kind, text id] appended to a payload.
void append_error(UiArray& payload, const lt::error_code& error) {
    const ErrorReport report = translate_error(error);
    payload.emplace_back(report.kind);
    payload.emplace_back(report.text_id);
}

std::string message_of(const lt::error_code& error) {
    return translate_error(error).message;
}

}  // namespace

const char* socket_type_text(lt::socket_type_t type) {
    switch (type) {
        case lt::socket_type_t::tcp:
            return "tcp";
        case lt::socket_type_t::tcp_ssl:
            return "tcp ssl";
        case lt::socket_type_t::utp:
            return "udp";
        case lt::socket_type_t::i2p:
            return "i2p";
        case lt::socket_type_t::socks5:
            return "socks5";
        case lt::socket_type_t::utp_ssl:
            return "utp ssl";
        default:
            return "?";
    }
}

AlertPump::AlertPump(EngineSession& engine,
                     config::ClientSettings& settings,
                     const std::atomic<bool>& running,
                     EngineFlags& flags,
                     StatusReporter& status,
                     AlertHandoff& lifecycle,
                     bridge::UiEventSink& events,
                     CountryLookup country)
    : engine_(engine),
      settings_(settings),
      running_(running),
      flags_(flags),
      status_(status),
      lifecycle_(lifecycle),
      events_(events),
      country_(std::move(country)) {}

bool AlertPump::begin_pass() {
    const std::lock_guard lock(tick_lock_);
    if (!running_ || ticking_ || held_ || !engine_.started()) {
        return false;
    }
    ticking_ = true;
    return true;
}

void AlertPump::pop_and_dispatch(lt::session& session) {
    const auto failed = [this](const std::exception& e) { report_failure(e.what()); };
    try {
        lifecycle_.finish_answered(failed);
    } catch (const std::exception& e) {
        failed(e);
    }
    std::vector<lt::alert*> alerts;
    session.pop_alerts(&alerts);
    std::vector<const lt::add_torrent_alert*> adds;
    for (auto segment = alerts.begin(); segment != alerts.end() && running_;) {
        // A segment ends with a removal: a torrent added again after it is started only once
        // the lifecycle has heard that it left. It ends too once it holds enough adds.
        adds.clear();
        auto end = segment;
        while (end != alerts.end() && adds.size() < kAddsStartedTogether) {
            const lt::alert* alert = *end++;
            if (const auto* add = lt::alert_cast<lt::add_torrent_alert>(alert)) {
                adds.push_back(add);
            } else if (alert->type() == lt::torrent_removed_alert::alert_type) {
                break;
            }
        }
        if (!adds.empty()) {
            try {
                lifecycle_.start_adds(adds, failed);
            } catch (const std::exception& e) {
                failed(e);
            }
        }
        // once not running, the rest of the batch is dropped
        for (; segment != end && running_; ++segment) {
            if (const auto* add = lt::alert_cast<lt::add_torrent_alert>(*segment)) {
                try {
                    lifecycle_.announce_add(*add, failed);
                } catch (const std::exception& e) {
                    failed(e);
                }
            } else {
                dispatch(*segment);
            }
        }
        segment = end;
    }
}

void AlertPump::end_pass() {
    std::function<void()> ended;
    {
        const std::lock_guard lock(tick_lock_);
        ticking_ = false;
        ended = std::move(on_tick_end_);
        on_tick_end_ = nullptr;
    }
    tick_done_.notify_all();
    if (ended) {
        ended();
    }
}

void AlertPump::tick() {
    if (!begin_pass()) {
        return;
    }
    lt::session& session = engine_.session();
    if (settings_.update_only_changed_torrents) {
        session.post_torrent_updates(lt::status_flags_t::all());
    } else if (status_.has_statuses()) {
        status_.refresh_all(session);
    }
    session.post_session_stats();
    pop_and_dispatch(session);
    end_pass();
    release_memory_after_busy_ticks();
}

// A tick of 10,000 torrents builds, encodes and frees some 40 MB of payloads and messages on the
// threads that raise, deliver and write them. The allocator keeps those pages: without this the
// process stayed about a kilobyte per torrent above what its torrents hold. Handing the free pages
// back takes a few milliseconds at 10,000 torrents, so it follows many updates only, never the
// ticks of an idle session.
void AlertPump::release_memory_after_busy_ticks() {
    const std::uint64_t raised = status_.updates_raised();
    if (raised - updates_at_last_release_ < kUpdatesBetweenReleases) {
        return;
    }
    updates_at_last_release_ = raised;
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

void AlertPump::drain() {
    if (!begin_pass()) {
        return;
    }
    pop_and_dispatch(engine_.session());
    end_pass();
}

void AlertPump::request_hold(std::function<void()> ended) {
    const std::lock_guard lock(tick_lock_);
    held_ = true;
    on_tick_end_ = std::move(ended);
}

bool AlertPump::idle() const {
    const std::lock_guard lock(tick_lock_);
    return !ticking_;
}

void AlertPump::hold() {
    std::unique_lock lock(tick_lock_);
    held_ = true;
    tick_done_.wait(lock, [this] { return !ticking_; });
}

void AlertPump::release() {
    const std::lock_guard lock(tick_lock_);
    held_ = false;
}

void AlertPump::report_failure(const char* what) {
    events_.ui_call(ev::kPostNoFormatError,
                    UiArray{UiValue(kCycleError), UiValue(what), UiValue(false)});
}

void AlertPump::dispatch(lt::alert* alert) {
    try {
        handle(alert);
    } catch (const std::exception& e) {
        report_failure(e.what());
    }
}

bool AlertPump::network_errors_shown(std::size_t toggle) const {
    return config::read_shared(settings_.event_toggles[toggle]) && !flags_.port_change_in_progress;
}

void AlertPump::on_listen_succeeded(const lt::listen_succeeded_alert& a) {
    // the settings record is where the live ports are kept
    auto& settings = settings_;
    if (a.socket_type == lt::socket_type_t::tcp_ssl ||
        a.socket_type == lt::socket_type_t::utp_ssl) {
        settings.ssl_port = a.port;
    } else {
        settings.port = a.port;
    }
    engine_.publish_ports();
    flags_.port_change_in_progress = false;
    events_.ui_call(ev::kListenSucceededAlert,
                    UiArray{UiValue(a.address.to_string()), UiValue(std::int32_t{a.port}),
                            UiValue(socket_type_text(a.socket_type))});
}

void AlertPump::handle(lt::alert* alert) {
    switch (alert->type()) {
        case lt::state_update_alert::alert_type: {
            const auto& a = static_cast<const lt::state_update_alert&>(*alert);
            for (const auto& status : a.status) {
                const std::optional<std::vector<lt::announce_entry>> trackers =
                    engine_.tracker_prefetch().take_updated(status.handle);
                status_.update_torrent(status, trackers ? &*trackers : nullptr);
            }
            break;
        }
        case lt::torrent_need_cert_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_need_cert_alert&>(*alert);
            events_.ui_call(ev::kTorrentNeedCertAlert, UiValue(hash_of(a)));
            break;
        }
        case lt::torrent_paused_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_paused_alert&>(*alert);
            events_.ui_call(ev::kTorrentPausedAlert, UiValue(hash_of(a)));
            break;
        }
        case lt::torrent_resumed_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_resumed_alert&>(*alert);
            const auto state = a.handle.status(lt::status_flags_t{}).state;
            events_.ui_call(ev::kTorrentResumedAlert,
                            UiArray{UiValue(hash_of(a)), int_value(static_cast<int>(state))});
            break;
        }
        case lt::metadata_received_alert::alert_type: {
            const auto& a = static_cast<const lt::metadata_received_alert&>(*alert);
            if (a.handle.is_valid()) {
                lifecycle_.on_metadata_received(a);
            }
            break;
        }
        case lt::metadata_failed_alert::alert_type: {
            const auto& a = static_cast<const lt::metadata_failed_alert&>(*alert);
            UiArray payload{UiValue(message_of(a.error)), UiValue(hash_of(a))};
            append_error(payload, a.error);
            events_.ui_call(ev::kMetadataFailedAlert, std::move(payload));
            break;
        }
        case lt::dht_bootstrap_alert::alert_type: {
            if (settings_.use_dht) {
                for (const auto& handle : engine_.session().get_torrents()) {
                    if (handle.is_valid()) {
                        handle.force_dht_announce();
                    }
                }
            }
            break;
        }
        case lt::torrent_deleted_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_deleted_alert&>(*alert);
            events_.ui_call(ev::kTorrentDeletedAlert, UiValue(torrent_key(a.info_hashes)));
            break;
        }
        case lt::torrent_delete_failed_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_delete_failed_alert&>(*alert);
            const ErrorReport report = translate_error(a.error);
            events_.ui_call(ev::kTorrentDeleteFailedAlert,
                            UiMap{{"hash", UiValue(torrent_key(a.info_hashes))},
                                  {"msg", UiValue(report.message)},
                                  {"category", UiValue(report.kind)},
                                  {"translation", UiValue(report.text_id)}});
            break;
        }
        case lt::external_ip_alert::alert_type: {
            const auto& a = static_cast<const lt::external_ip_alert&>(*alert);
            const lt::address& address = a.external_address;
            events_.ui_call(
                ev::kIpChanged,
                UiMap{{"ip", UiValue(address.to_string())},
                      {"ip_type", UiValue(std::int32_t{address.is_v6() ? 1 : 0})},
                      {"cc", UiValue(country_ ? country_(address) : std::string("XX"))}});
            break;
        }
        case lt::storage_moved_alert::alert_type: {
            const auto& a = static_cast<const lt::storage_moved_alert&>(*alert);
            lifecycle_.on_storage_moved(a);
            break;
        }
        case lt::storage_moved_failed_alert::alert_type: {
            const auto& a = static_cast<const lt::storage_moved_failed_alert&>(*alert);
            lifecycle_.on_storage_moved_failed(a);
            break;
        }
        case lt::listen_succeeded_alert::alert_type: {
            const auto& a = static_cast<const lt::listen_succeeded_alert&>(*alert);
            on_listen_succeeded(a);
            break;
        }
        case lt::listen_failed_alert::alert_type: {
            const auto& a = static_cast<const lt::listen_failed_alert&>(*alert);
            UiArray payload{UiValue(message_of(a.error)), UiValue(a.listen_interface())};
            append_error(payload, a.error);
            payload.emplace_back(lt::operation_name(a.op));
            payload.emplace_back(socket_type_text(a.socket_type));
            payload.emplace_back(std::int32_t{a.port});
            events_.ui_call(ev::kListenFailedAlert, std::move(payload));
            break;
        }
        case lt::torrent_checked_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_checked_alert&>(*alert);
            events_.ui_post(ev::kTorrentCheckedAlert, UiValue(hash_of(a)));
            break;
        }
        case lt::torrent_removed_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_removed_alert&>(*alert);
            events_.ui_call(ev::kTorrentRemovedAlert, UiValue(torrent_key(a.info_hashes)));
            lifecycle_.on_torrent_removed(a);
            break;
        }
        case lt::torrent_finished_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_finished_alert&>(*alert);
            lifecycle_.on_torrent_finished(a);
            break;
        }
        case lt::save_resume_data_alert::alert_type: {
            const auto& a = static_cast<const lt::save_resume_data_alert&>(*alert);
            lifecycle_.on_save_resume_data(a);
            break;
        }
        case lt::save_resume_data_failed_alert::alert_type: {
            const auto& a = static_cast<const lt::save_resume_data_failed_alert&>(*alert);
            if (a.error != lt::error_code(lt::errors::no_metadata, lt::libtorrent_category())) {
                UiArray payload{UiValue(message_of(a.error)), UiValue(hash_of(a))};
                append_error(payload, a.error);
                events_.ui_call(ev::kSaveResumeDataFailedAlert, std::move(payload));
            }
            lifecycle_.on_save_resume_data_failed(a);
            break;
        }
        case lt::torrent_error_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_error_alert&>(*alert);
            UiArray payload{UiValue(a.filename()), UiValue(message_of(a.error)),
                            UiValue(hash_of(a))};
            append_error(payload, a.error);
            events_.ui_call(ev::kDoTorrentErrorAlert, std::move(payload));
            break;
        }
        case lt::file_renamed_alert::alert_type: {
            const auto& a = static_cast<const lt::file_renamed_alert&>(*alert);
            events_.ui_call(ev::kDoFileRenamedAlert,
                            UiArray{int_value(static_cast<int>(a.index)), UiValue(hash_of(a)),
                                    UiValue(a.new_name())});
            break;
        }
        case lt::file_rename_failed_alert::alert_type: {
            const auto& a = static_cast<const lt::file_rename_failed_alert&>(*alert);
            UiArray payload{int_value(static_cast<int>(a.index)), UiValue(hash_of(a))};
            append_error(payload, a.error);
            payload.emplace_back(message_of(a.error));
            events_.ui_call(ev::kDoFileRenameFailedAlert, std::move(payload));
            break;
        }
        case lt::performance_alert::alert_type: {
            const auto& a = static_cast<const lt::performance_alert&>(*alert);
            if (config::read_shared(settings_.event_toggles[kPerformanceWarnings]) &&
                !flags_.schedule_paused) {
                const std::string hash = hash_of(a);
                events_.ui_call(ev::kSetPerformanceAllert,
                                UiArray{hash.empty() ? UiValue(std::int32_t{0}) : UiValue(hash),
                                        int_value(kPerformanceTextBase + a.warning_code)});
            }
            break;
        }
        case lt::tracker_error_alert::alert_type: {
            const auto& a = static_cast<const lt::tracker_error_alert&>(*alert);
            if (network_errors_shown(kTrackerErrors)) {
                events_.ui_call(ev::kTrackerErrorAlert,
                                UiArray{int_value(a.times_in_row), UiValue(a.tracker_url()),
                                        UiValue(hash_of(a))});
            }
            break;
        }
        case lt::i2p_alert::alert_type: {
            const auto& a = static_cast<const lt::i2p_alert&>(*alert);
            if (network_errors_shown(kI2pErrors)) {
                UiArray payload{UiValue(message_of(a.error))};
                append_error(payload, a.error);
                events_.ui_call(ev::kI2pAlert, std::move(payload));
            }
            break;
        }
        case lt::tracker_warning_alert::alert_type: {
            const auto& a = static_cast<const lt::tracker_warning_alert&>(*alert);
            if (network_errors_shown(kTrackerErrors)) {
                events_.ui_call(ev::kDoTrackerWarningAlert,
                                UiArray{UiValue(a.warning_message()), UiValue(hash_of(a))});
            }
            break;
        }
        case lt::peer_error_alert::alert_type: {
            const auto& a = static_cast<const lt::peer_error_alert&>(*alert);
            if (network_errors_shown(kPeerErrors)) {
                UiArray payload{UiValue(message_of(a.error)), UiValue(hash_of(a)),
                                UiValue(a.endpoint.address().to_string())};
                append_error(payload, a.error);
                events_.ui_call(ev::kDoPeerErrorAlert, std::move(payload));
            }
            break;
        }
        case lt::udp_error_alert::alert_type: {
            const auto& a = static_cast<const lt::udp_error_alert&>(*alert);
            if (network_errors_shown(kUdpErrors)) {
                UiArray payload{UiValue(message_of(a.error)),
                                UiValue(a.endpoint.address().to_string())};
                append_error(payload, a.error);
                events_.ui_call(ev::kDoUdpErrorAlert, std::move(payload));
            }
            break;
        }
        case lt::portmap_error_alert::alert_type: {
            const auto& a = static_cast<const lt::portmap_error_alert&>(*alert);
            if (network_errors_shown(kPortMappingErrors)) {
                UiArray payload{UiValue(message_of(a.error)),
                                int_value(static_cast<int>(a.mapping)),
                                int_value(a.map_transport == lt::portmap_transport::upnp ? 1 : 0)};
                append_error(payload, a.error);
                events_.ui_call(ev::kDoPortmapErrorAlert, std::move(payload));
            }
            break;
        }
        case lt::dht_error_alert::alert_type: {
            const auto& a = static_cast<const lt::dht_error_alert&>(*alert);
            if (network_errors_shown(kDhtErrors)) {
                UiArray payload{UiValue(message_of(a.error))};
                append_error(payload, a.error);
                events_.ui_call(ev::kDoDhtErrorAlert, std::move(payload));
            }
            break;
        }
        case lt::lsd_error_alert::alert_type: {
            const auto& a = static_cast<const lt::lsd_error_alert&>(*alert);
            if (network_errors_shown(kLsdErrors)) {
                UiArray payload{UiValue(message_of(a.error))};
                append_error(payload, a.error);
                events_.ui_call(ev::kLsdErrorAlert, std::move(payload));
            }
            break;
        }
        case lt::file_error_alert::alert_type: {
            const auto& a = static_cast<const lt::file_error_alert&>(*alert);
            if (config::read_shared(settings_.event_toggles[kFileErrors])) {
                UiArray payload{UiValue(message_of(a.error)), UiValue(hash_of(a)),
                                UiValue(a.filename())};
                append_error(payload, a.error);
                events_.ui_call(ev::kDoFileErrorAlert, std::move(payload));
            }
            break;
        }
        case lt::url_seed_alert::alert_type: {
            const auto& a = static_cast<const lt::url_seed_alert&>(*alert);
            if (network_errors_shown(kTrackerErrors) && a.error.value() != 0) {
                UiArray payload{UiValue(message_of(a.error)), UiValue(hash_of(a)),
                                UiValue(a.server_url())};
                append_error(payload, a.error);
                events_.ui_call(ev::kDoUrlErrorAlert, std::move(payload));
            }
            break;
        }
        case lt::session_stats_alert::alert_type: {
            const auto& a = static_cast<const lt::session_stats_alert&>(*alert);
            status_.statusbar_tick(engine_.session().is_listening(), a.counters(),
                                   engine_.metric_positions());
            break;
        }
        case lt::file_completed_alert::alert_type: {
            const auto& a = static_cast<const lt::file_completed_alert&>(*alert);
            events_.ui_post(ev::kDoFileComplete,
                            UiMap{{"hash", UiValue(hash_of(a))},
                                  {"idx", int_value(static_cast<int>(a.index))}});
            break;
        }
        case lt::state_changed_alert::alert_type: {
            const auto& a = static_cast<const lt::state_changed_alert&>(*alert);
            events_.ui_post(ev::kStateChangedAlert,
                            UiArray{UiValue(hash_of(a)), int_value(static_cast<int>(a.state))});
            break;
        }
        case lt::dht_log_alert::alert_type: {
            const auto& a = static_cast<const lt::dht_log_alert&>(*alert);
            engine_.write_log(LogCategory::Dht, a.log_message());
            break;
        }
        case lt::peer_log_alert::alert_type: {
            const auto& a = static_cast<const lt::peer_log_alert&>(*alert);
            engine_.write_log(LogCategory::Peer, a.log_message());
            break;
        }
        case lt::torrent_log_alert::alert_type: {
            const auto& a = static_cast<const lt::torrent_log_alert&>(*alert);
            engine_.write_log(LogCategory::Torrent, a.log_message());
            break;
        }
        case lt::log_alert::alert_type: {
            const auto& a = static_cast<const lt::log_alert&>(*alert);
            engine_.write_log(LogCategory::Session, a.log_message());
            break;
        }
        default:
            break;  // not a kind the client follows
    }
}

}  // namespace velmora::engine
