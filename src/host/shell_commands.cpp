// The desktop integration commands.
#include "velmora/host/shell_commands.h"

#include <cstdint>
#include <memory>

#include "velmora/bridge/event_names.h"
#include "velmora/host/app_state.h"

namespace velmora::host {
namespace {

using bridge::CommandArgs;
using bridge::CommandEntry;
using bridge::UiValue;
using bridge::UsualResult;

constexpr std::int32_t kRegistryErrorText = 61;

// The page's power menu: 1 closes the client, 2 to 5 ask the system.
enum PowerChoice : std::int32_t { kClose = 1, kHibernate, kReboot, kPowerOff, kSuspend };

}  // namespace

Shell::ErrorReport registry_error_report(bridge::UiEventSink& events) {
    return [&events](const std::string& error_text, const std::string& path) {
        events.ui_call(
            bridge::event::kPostRegistryError,
            bridge::UiArray{UiValue(kRegistryErrorText), UiValue(error_text), UiValue(path)});
    };
}

std::vector<CommandEntry> shell_commands(ShellParts parts) {
    const auto p = std::make_shared<ShellParts>(std::move(parts));
    return {
        {"do_set_as_default_client", 0, UsualResult::True,
         [p](const CommandArgs&) {
             p->shell.register_associations(registry_error_report(p->events));
             return UiValue(true);
         }},
        {"get_default_client_status", 0, UsualResult::False,
         [p](const CommandArgs&) {
             return UiValue(p->shell.is_default_client(registry_error_report(p->events)));
         }},
        {"set_running_startup", 1, UsualResult::False,
         [p](const CommandArgs& a) {
             return UiValue(
                 p->shell.set_run_at_log_on(a.bool_at(0), registry_error_report(p->events)));
         }},
        {"get_running_startup", 0, UsualResult::False,
         [p](const CommandArgs&) {
             return UiValue(p->shell.runs_at_log_on(registry_error_report(p->events)));
         }},
        {"auto_power_options", 1, UsualResult::True,
         [p](const CommandArgs& a) {
             switch (a.int_at(0)) {
                 case kClose:
                     p->state.force_exit = 1;
                     p->post_close();
                     break;
                 case kHibernate:
                     p->power.request(PowerAction::Hibernate);
                     break;
                 case kReboot:
                     p->power.request(PowerAction::Reboot);
                     break;
                 case kPowerOff:
                     p->power.request(PowerAction::PowerOff);
                     break;
                 case kSuspend:
                     p->power.request(PowerAction::Suspend);
                     break;
                 default:
                     break;
             }
             return UiValue(true);
         }},
    };
}

void run_default_client_check(bool check_enabled, Shell& shell, bridge::UiEventSink& events) {
    const Shell::ErrorReport report = registry_error_report(events);
    if (!check_enabled || shell.is_default_client(report)) {
        return;
    }
    const UiValue answer =
        events.ui_call(bridge::event::kCallDefaultClientDialog, UiValue(std::int32_t{0}));
    if (answer.is_int() && answer.as_int() == 1) {
        shell.register_associations(report);
    }
}

}  // namespace velmora::host
