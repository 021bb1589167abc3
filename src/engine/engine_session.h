// The one engine session of the client, its category loggers and its statistic positions.
#pragma once

#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include <libtorrent/session.hpp>

#include "velmora/config/client_settings.h"
#include "velmora/engine/session_settings.h"
#include "velmora/engine/status_reports.h"
#include "velmora/engine/tracker_prefetch.h"

namespace spdlog {
class logger;
}
namespace velmora::bridge {
class UiEventSink;
}

namespace velmora::engine {

// Thread: start() and tear_down() on the gui thread; session() from every thread once started
// (the engine's own calls are thread-safe).
class EngineSession {
public:
    EngineSession(config::ClientSettings& settings,
                  std::filesystem::path log_folder,
                  bridge::UiEventSink& events,
                  bool loopback_only);
    ~EngineSession();
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;

    // Builds the session in its fixed order and tells the page the ports really opened.
    void start();
    bool started() const { return session_ != nullptr && !torn_down_; }
    // Ends every engine thread and waits for them. The session object stays, so that a worker
    // still holding it gets an error from each call rather than a dangling reference.
    void tear_down();

    // Valid from start() on, also after tear_down().
    lt::session& session() { return *session_; }
    bool loopback_only() const { return loopback_only_; }
    const MetricPositions& metric_positions() const { return positions_; }
    int counter_index(Metric metric) const { return positions_[static_cast<std::size_t>(metric)]; }
    // Null when that category's log is off.
    spdlog::logger* category_logger(LogCategory category) const;
    // Writes an engine log line to its category's file, when that log is on.
    void write_log(LogCategory category, std::string_view text) const;
    // The tracker lists read ahead for the adds and status updates the page has not heard yet.
    TrackerPrefetch& tracker_prefetch() { return *tracker_prefetch_; }
    // The listen ports are the settings' port and ssl_port; the page hears them.
    void publish_ports();
    // Runs `notify` on an engine thread whenever alerts start waiting in an empty queue; it
    // must return at once and never call the engine. An empty function ends the calls: once
    // this returns, none runs any more. Does nothing before start() or after tear_down().
    void set_alert_notify(std::function<void()> notify);

private:
    void prepare_logs();
    void apply_loopback_filter();

    config::ClientSettings& settings_;
    std::filesystem::path log_folder_;
    bridge::UiEventSink& events_;
    bool loopback_only_;
    std::array<std::shared_ptr<spdlog::logger>, kLogCategories.size()> loggers_;
    MetricPositions positions_{};
    // shared with the session, which calls it on its own thread until it ends
    std::shared_ptr<TrackerPrefetch> tracker_prefetch_ = std::make_shared<TrackerPrefetch>();
    std::unique_ptr<lt::session> session_;
    std::atomic<bool> torn_down_{false};
};

}  // namespace velmora::engine
