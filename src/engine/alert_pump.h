// The once-a-second tick: fresh status and statistics asked for, every alert handed on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <span>

#include <libtorrent/alert_types.hpp>

#include "velmora/config/client_settings.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/status_reporter.h"

namespace velmora::bridge {
class UiEventSink;
}

namespace velmora::engine {

// Gates set by commands on the gui thread and read by the tick; a tick may see a change one
// alert late.
struct EngineFlags {
    // A listen-port change is under way: network errors are expected and not shown.
    std::atomic<bool> port_change_in_progress{false};
    // The pause schedule holds the session: its performance warnings mean nothing.
    std::atomic<bool> schedule_paused{false};
};

// The lifecycle's part of the alerts. Thread: the tick.
class AlertHandoff {
public:
    virtual ~AlertHandoff() = default;
    // Answered adds come in two steps, so that the handler can ask the engine about all the
    // adds of a batch at once while the page still hears of each in its place. `start_adds`
    // is handed the adds of a batch up to and including a removal, a thousand or so at most,
    // before any of those alerts is handed on; `announce_add` then comes for each of them, in
    // the same order, between the other alerts. `failed` is told of each add whose handling broke;
    // the others go on.
    using Failed = std::function<void(const std::exception&)>;
    virtual void start_adds(std::span<const lt::add_torrent_alert* const> alerts,
                            const Failed& failed) = 0;
    virtual void announce_add(const lt::add_torrent_alert& alert, const Failed& failed) = 0;
    virtual void on_metadata_received(const lt::metadata_received_alert& alert) = 0;
    virtual void on_save_resume_data(const lt::save_resume_data_alert& alert) = 0;
    virtual void on_save_resume_data_failed(const lt::save_resume_data_failed_alert& alert) = 0;
    // Called after the page heard of the removal.
    virtual void on_torrent_removed(const lt::torrent_removed_alert& alert) = 0;
    virtual void on_torrent_finished(const lt::torrent_finished_alert&) {}
    // Goes on with what waited for the page's answers to earlier alerts; on every pass, before
    // the pass's alerts.
    virtual void finish_answered(const Failed&) {}
    virtual void on_storage_moved(const lt::storage_moved_alert&) {}
    virtual void on_storage_moved_failed(const lt::storage_moved_failed_alert&) {}
};

// Thread: tick() on the timer thread; hold()/release() from any other thread.
class AlertPump {
public:
    AlertPump(EngineSession& engine,
              config::ClientSettings& settings,
              const std::atomic<bool>& running,
              EngineFlags& flags,
              StatusReporter& status,
              AlertHandoff& lifecycle,
              bridge::UiEventSink& events,
              CountryLookup country);

    // One tick; returns at once while another tick runs, while held, or once running is false.
    void tick();
    // The alerts waiting now, handed on without fresh status or statistics: a burst the user
    // waits for (a restore) need not wait for the next tick. Gated as tick() is.
    void drain();
    // Hands one alert to its handler; a handler that throws is reported and the pump goes on.
    void dispatch(lt::alert* alert);

    // Keeps ticks away while another consumer drains the engine's alerts; waits for a running
    // tick to end first.
    void hold();
    // hold() without the wait, for a thread that must keep serving a running tick meanwhile;
    // `idle` tells when the tick is over, and `ended` (given here) runs on the tick's thread
    // as it ends.
    void request_hold(std::function<void()> ended = {});
    bool idle() const;
    void release();

private:
    bool begin_pass();
    void pop_and_dispatch(lt::session& session);
    void end_pass();
    void release_memory_after_busy_ticks();
    void handle(lt::alert* alert);
    bool network_errors_shown(std::size_t toggle) const;
    void report_failure(const char* what);
    void on_listen_succeeded(const lt::listen_succeeded_alert& alert);

    EngineSession& engine_;
    config::ClientSettings& settings_;
    const std::atomic<bool>& running_;
    EngineFlags& flags_;
    StatusReporter& status_;
    AlertHandoff& lifecycle_;
    bridge::UiEventSink& events_;
    CountryLookup country_;

    mutable std::mutex tick_lock_;
    std::function<void()> on_tick_end_;
    std::condition_variable tick_done_;
    bool ticking_ = false;
    bool held_ = false;
    std::uint64_t updates_at_last_release_ = 0;  // the tick's thread only
};

// Socket type texts of the listen events.
const char* socket_type_text(lt::socket_type_t type);

}  // namespace velmora::engine
