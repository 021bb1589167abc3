// The process-wide run state of the client.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::host {

// A problem found before the pages loaded, shown to the user once they have.
struct PreRunError {
    int ui_text_id = 0;
    std::string detail;
};

struct WindowPlacement {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t width = 750;
    std::int32_t height = 450;
};

// Thread: gui writes; `running` and `exiting` are read from every thread.
struct AppState {
    std::atomic<bool> running{true};
    std::atomic<bool> exiting{false};
    int force_exit = 0;
    bool minimised_start = false;
    std::vector<std::string> start_args;
    bool args_pending = false;
    bool run_at_logon = false;
    std::string window_title = "Velmora";
    bool window_shown = false;  // the main window was shown and is not hidden to the tray
    WindowPlacement window_placement;
    std::vector<PreRunError> pre_run_errors;
    // All-time transfer totals of earlier runs, handed back by the page at start-up.
    std::int64_t resumed_uploaded_bytes = 0;
    std::int64_t resumed_downloaded_bytes = 0;
};

}  // namespace velmora::host
