// Start-up of the engine session, in its fixed order.
#include "velmora/engine/engine_session.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string_view>

#include <libtorrent/extensions/smart_ban.hpp>
#include <libtorrent/extensions/ut_metadata.hpp>
#include <libtorrent/extensions/ut_pex.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/mmap_disk_io.hpp>
#include <libtorrent/posix_disk_io.hpp>
#include <libtorrent/session_stats.hpp>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/engine/client_functions.h"

namespace velmora::engine {
namespace {

// The engine library of this platform is built without its own assertion log, so the client's
// own assertion reports go to the file the engine's would have used.
void redirect_assertions(const std::filesystem::path& file) {
    static std::mutex write_lock;
    set_assertion_reporter([file](std::string_view expression, std::string_view function,
                                  std::string_view source, int line) {
        const std::lock_guard lock(write_lock);
        std::ofstream out(file, std::ios::app);
        out << source << ':' << line << ": " << function << ": assertion failed: " << expression
            << '\n';
    });
}

// VELMORA_DISK_IO=posix picks the engine's posix disk back end instead of its memory-mapped one,
// so that bench/transfer_bench.py can measure both. The memory-mapped one stays the default: on
// a 2 GiB loopback download the two were within the noise of each other (a median 137 against
// 142 MiB/s over 12 runs each, CPU and memory alike), and the posix one creates the files the
// user chose not to download, where the memory-mapped one keeps their shared pieces in the part
// file.
lt::disk_io_constructor_type disk_io_from_environment() {
    const char* value = std::getenv("VELMORA_DISK_IO");
    if (value != nullptr && std::string_view(value) == "posix") {
        return lt::posix_disk_io_constructor;
    }
    return lt::mmap_disk_io_constructor;
}

}  // namespace

EngineSession::EngineSession(config::ClientSettings& settings,
                             std::filesystem::path log_folder,
                             bridge::UiEventSink& events,
                             bool loopback_only)
    : settings_(settings),
      log_folder_(std::move(log_folder)),
      events_(events),
      loopback_only_(loopback_only) {}

EngineSession::~EngineSession() {
    tear_down();
    session_.reset();
}

void EngineSession::prepare_logs() {
    const std::filesystem::path assert_log = log_folder_ / kAssertLogFileName;
    redirect_assertions(assert_log);
    if (settings_.delete_logs) {
        std::error_code ignored;
        for (const LogCategory category : kLogCategories) {
            std::filesystem::remove(log_folder_ / log_file_name(category), ignored);
        }
        std::filesystem::remove(assert_log, ignored);
    }
    for (const LogCategory category : kLogCategories) {
        if (!log_enabled(settings_, category)) {
            continue;
        }
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
            (log_folder_ / log_file_name(category)).string(), false);
        auto logger = std::make_shared<spdlog::logger>(log_category_name(category), sink);
        logger->set_level(spdlog::level::info);
        loggers_[static_cast<std::size_t>(category)] = std::move(logger);
    }
}

void EngineSession::start() {
    if (session_) {
        return;
    }
    prepare_logs();
    const AlertSetup alerts = alert_setup(settings_);
    const std::int32_t random_port = draw_random_port(std::time(nullptr));
    PackInputs inputs{alerts,
                      loopback_only_ ? loopback_interfaces_for(settings_, random_port)
                                     : interfaces_for(settings_, random_port),
                      loopback_only_};
    // The three extensions are added once each below; the engine's default list holds the same
    // three, and a second copy of each would answer every peer twice.
    lt::session_params params(settings_pack_for(settings_, inputs), {});
    params.disk_io_constructor = disk_io_from_environment();
    session_ = std::make_unique<lt::session>(std::move(params));
    if (loopback_only_) {
        apply_loopback_filter();
    }
    session_->add_extension(&lt::create_ut_pex_plugin);
    session_->add_extension(&lt::create_ut_metadata_plugin);
    session_->add_extension(&lt::create_smart_ban_plugin);
    session_->add_extension(tracker_prefetch_);
    if (settings_.use_dht && !loopback_only_) {
        session_->apply_settings(dht_tuning_for(settings_));
    }
    positions_ = find_metric_positions(lt::session_stats_metrics());
    if (settings_.session_paused) {
        session_->pause();
    }
    settings_.port = session_->listen_port();
    settings_.ssl_port = session_->ssl_listen_port();
    publish_ports();
}

void EngineSession::apply_loopback_filter() {
    lt::ip_filter filter;
    filter.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"),
                    lt::ip_filter::blocked);
    filter.add_rule(lt::make_address("127.0.0.0"), lt::make_address("127.255.255.255"), 0);
    filter.add_rule(lt::make_address("::"),
                    lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"),
                    lt::ip_filter::blocked);
    filter.add_rule(lt::make_address("::1"), lt::make_address("::1"), 0);
    session_->set_ip_filter(filter);
}

void EngineSession::publish_ports() {
    events_.ui_call(
        bridge::event::kSetPortVariable,
        bridge::UiArray{bridge::UiValue(settings_.port), bridge::UiValue(settings_.ssl_port)});
}

void EngineSession::tear_down() {
    if (!session_ || torn_down_.exchange(true)) {
        return;
    }
    // the proxy's end waits for the engine's threads
    const lt::session_proxy ended = session_->abort();
}

void EngineSession::set_alert_notify(std::function<void()> notify) {
    if (started()) {
        session_->set_alert_notify(std::move(notify));
    }
}

spdlog::logger* EngineSession::category_logger(LogCategory category) const {
    return loggers_[static_cast<std::size_t>(category)].get();
}

void EngineSession::write_log(LogCategory category, std::string_view text) const {
    if (spdlog::logger* logger = category_logger(category)) {
        logger->info("{}", text);
    }
}

}  // namespace velmora::engine
