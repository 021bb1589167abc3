// The commands that tie the client into the user's desktop: default handler, log-on start,
// power actions.
#pragma once

#include <functional>
#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/host/shell.h"

namespace velmora::host {

struct AppState;

struct ShellParts {
    Shell& shell;
    PowerActions& power;
    bridge::UiEventSink& events;
    AppState& state;
    // Asks the window to close, as its close button does (the page still confirms).
    std::function<void()> post_close;
};

// The report that turns a desktop-settings file that could not be written into the page's
// error event.
Shell::ErrorReport registry_error_report(bridge::UiEventSink& events);

// Handlers by name and arity; the command list puts them in its own rows.
std::vector<bridge::CommandEntry> shell_commands(ShellParts parts);

// The start-up question: asked only when the check is on and the client is no longer the
// handler; registers when the page's answer reads as 1.
void run_default_client_check(bool check_enabled, Shell& shell, bridge::UiEventSink& events);

}  // namespace velmora::host
