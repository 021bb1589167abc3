// Every page function the client calls, declared once.
#pragma once

#include <array>
#include <string_view>

namespace velmora::bridge::event {

inline constexpr std::string_view kAddDupeTrackers = "add_dupe_trackers";
inline constexpr std::string_view kAddMagnetError = "add_magnet_error";
inline constexpr std::string_view kAddSearchResults = "add_search_results";
inline constexpr std::string_view kAddTorrentAlert = "add_torrent_alert";
inline constexpr std::string_view kCallDefaultClientDialog = "call_default_client_dialog";
inline constexpr std::string_view kCreateTorrentError = "create_torrent_error";
inline constexpr std::string_view kDataDeletedResult = "data_deleted_result";
inline constexpr std::string_view kDoDhtErrorAlert = "do_dht_error_alert";
inline constexpr std::string_view kDoDupeTorrent = "do_dupe_torrent";
inline constexpr std::string_view kDoErrorAddingTorrent = "do_error_adding_torrent";
inline constexpr std::string_view kDoExit = "do_exit";
inline constexpr std::string_view kDoFileComplete = "do_file_complete";
inline constexpr std::string_view kDoFileErrorAlert = "do_file_error_alert";
inline constexpr std::string_view kDoFileRenameFailedAlert = "do_file_rename_failed_alert";
inline constexpr std::string_view kDoFileRenamedAlert = "do_file_renamed_alert";
inline constexpr std::string_view kDoPeerErrorAlert = "do_peer_error_alert";
inline constexpr std::string_view kDoPortmapErrorAlert = "do_portmap_error_alert";
inline constexpr std::string_view kDoStatusbar = "do_statusbar";
inline constexpr std::string_view kDoStorageMovedFailed = "do_storage_moved_failed";
inline constexpr std::string_view kDoStorageMovedFailedAlert = "do_storage_moved_failed_alert";
inline constexpr std::string_view kDoTorrentErrorAlert = "do_torrent_error_alert";
inline constexpr std::string_view kDoTrackerWarningAlert = "do_tracker_warning_alert";
inline constexpr std::string_view kDoUdpErrorAlert = "do_udp_error_alert";
inline constexpr std::string_view kDoUrlErrorAlert = "do_url_error_alert";
inline constexpr std::string_view kExitSession = "exit_session";
inline constexpr std::string_view kGetFilesPrioraty = "get_files_prioraty";
inline constexpr std::string_view kGetGeoip = "get_geoip";
inline constexpr std::string_view kGetResumeData = "get_resume_data";
inline constexpr std::string_view kGetSetTorrentComplete = "get_set_torrent_complete";
inline constexpr std::string_view kGetToolNo = "get_tool_no";
inline constexpr std::string_view kGetTorrentsToRestore = "get_torrents_to_restore";
inline constexpr std::string_view kI2pAlert = "i2p_alert";
inline constexpr std::string_view kIndexFromHash = "IndexFromHash";
inline constexpr std::string_view kIpChanged = "ip_changed";
inline constexpr std::string_view kListenFailedAlert = "listen_failed_alert";
inline constexpr std::string_view kListenSucceededAlert = "listen_succeeded_alert";
inline constexpr std::string_view kLoggingOff = "logging_off";
inline constexpr std::string_view kLsdErrorAlert = "lsd_error_alert";
inline constexpr std::string_view kMetadataFailedAlert = "metadata_failed_alert";
inline constexpr std::string_view kMetadataReceivedAlert = "metadata_received_alert";
inline constexpr std::string_view kMetadataReceivedAlertStopped = "metadata_received_alert_stopped";
inline constexpr std::string_view kOnF1 = "on_f1";
inline constexpr std::string_view kOnF2 = "on_f2";
inline constexpr std::string_view kOnF5 = "on_f5";
inline constexpr std::string_view kOnF6 = "on_f6";
inline constexpr std::string_view kOnF7 = "on_f7";
inline constexpr std::string_view kOnF9 = "on_f9";
inline constexpr std::string_view kOnF12 = "on_f12";
inline constexpr std::string_view kPostGeoipError = "post_geoip_error";
inline constexpr std::string_view kPostNoFormatError = "post_no_format_error";
inline constexpr std::string_view kPostRegistryError = "post_registry_error";
inline constexpr std::string_view kPostSuccess = "post_success";
inline constexpr std::string_view kPreAddTorrent = "pre_add_torrent";
inline constexpr std::string_view kPreRunErrors = "pre_run_errors";
inline constexpr std::string_view kResetFilePaths = "reset_file_paths";
inline constexpr std::string_view kSaveResumeDataFailedAlert = "save_resume_data_failed_alert";
inline constexpr std::string_view kSetFileMd5 = "set_file_md5";
inline constexpr std::string_view kSetFileSha1 = "set_file_sha1";
inline constexpr std::string_view kSetPausedState = "set_paused_state";
inline constexpr std::string_view kSetPerformanceAllert = "set_performance_allert";
inline constexpr std::string_view kSetPortVariable = "set_port_variable";
inline constexpr std::string_view kSetSearchStatusbar = "set_search_statusbar";
inline constexpr std::string_view kSetTorrentCompleteDate = "set_torrent_complete_date";
inline constexpr std::string_view kSetTorrentsVisibility = "set_torrents_visibility";
inline constexpr std::string_view kShowMagnetOptions = "show_magnet_options";
inline constexpr std::string_view kStateChangedAlert = "state_changed_alert";
inline constexpr std::string_view kStorageMovedAlert = "storage_moved_alert";
inline constexpr std::string_view kTorrentCheckedAlert = "torrent_checked_alert";
inline constexpr std::string_view kTorrentClipboard = "torrent_clipboard";
inline constexpr std::string_view kTorrentDeleteFailedAlert = "torrent_delete_failed_alert";
inline constexpr std::string_view kTorrentDeletedAlert = "torrent_deleted_alert";
inline constexpr std::string_view kTorrentNeedCertAlert = "torrent_need_cert_alert";
inline constexpr std::string_view kTorrentPausedAlert = "torrent_paused_alert";
inline constexpr std::string_view kTorrentRemovedAlert = "torrent_removed_alert";
inline constexpr std::string_view kTorrentResumedAlert = "torrent_resumed_alert";
inline constexpr std::string_view kTrackerErrorAlert = "tracker_error_alert";
inline constexpr std::string_view kTrayMenu = "tray_menu";
inline constexpr std::string_view kUpdateTorrent = "update_torrent";
inline constexpr std::string_view kUpdateTorrentsTrackers = "update_torrents_trackers";
inline constexpr std::string_view kVtrError = "vtr_error";

inline constexpr std::array<std::string_view, 80> kAll = {
    kAddDupeTrackers,
    kAddMagnetError,
    kAddSearchResults,
    kAddTorrentAlert,
    kCallDefaultClientDialog,
    kCreateTorrentError,
    kDataDeletedResult,
    kDoDhtErrorAlert,
    kDoDupeTorrent,
    kDoErrorAddingTorrent,
    kDoExit,
    kDoFileComplete,
    kDoFileErrorAlert,
    kDoFileRenameFailedAlert,
    kDoFileRenamedAlert,
    kDoPeerErrorAlert,
    kDoPortmapErrorAlert,
    kDoStatusbar,
    kDoStorageMovedFailed,
    kDoStorageMovedFailedAlert,
    kDoTorrentErrorAlert,
    kDoTrackerWarningAlert,
    kDoUdpErrorAlert,
    kDoUrlErrorAlert,
    kExitSession,
    kGetFilesPrioraty,
    kGetGeoip,
    kGetResumeData,
    kGetSetTorrentComplete,
    kGetToolNo,
    kGetTorrentsToRestore,
    kI2pAlert,
    kIndexFromHash,
    kIpChanged,
    kListenFailedAlert,
    kListenSucceededAlert,
    kLoggingOff,
    kLsdErrorAlert,
    kMetadataFailedAlert,
    kMetadataReceivedAlert,
    kMetadataReceivedAlertStopped,
    kOnF1,
    kOnF2,
    kOnF5,
    kOnF6,
    kOnF7,
    kOnF9,
    kOnF12,
    kPostGeoipError,
    kPostNoFormatError,
    kPostRegistryError,
    kPostSuccess,
    kPreAddTorrent,
    kPreRunErrors,
    kResetFilePaths,
    kSaveResumeDataFailedAlert,
    kSetFileMd5,
    kSetFileSha1,
    kSetPausedState,
    kSetPerformanceAllert,
    kSetPortVariable,
    kSetSearchStatusbar,
    kSetTorrentCompleteDate,
    kSetTorrentsVisibility,
    kShowMagnetOptions,
    kStateChangedAlert,
    kStorageMovedAlert,
    kTorrentCheckedAlert,
    kTorrentClipboard,
    kTorrentDeleteFailedAlert,
    kTorrentDeletedAlert,
    kTorrentNeedCertAlert,
    kTorrentPausedAlert,
    kTorrentRemovedAlert,
    kTorrentResumedAlert,
    kTrackerErrorAlert,
    kTrayMenu,
    kUpdateTorrent,
    kUpdateTorrentsTrackers,
    kVtrError,
};

}  // namespace velmora::bridge::event
