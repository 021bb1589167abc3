// Power actions as a detached systemctl child, never through a shell.
#include "velmora/platform/linux/logind_power.h"

#include <iterator>
#include <utility>

#include <unistd.h>

#include "velmora/platform/linux/child_spawn.h"

namespace velmora::platform {

std::string systemctl_verb(host::PowerAction action) {
    switch (action) {
        case host::PowerAction::Hibernate:
            return "hibernate";
        case host::PowerAction::Reboot:
            return "reboot";
        case host::PowerAction::PowerOff:
            return "poweroff";
        case host::PowerAction::Suspend:
            return "suspend";
    }
    return {};
}

LogindPower::LogindPower(std::filesystem::path systemctl) : systemctl_(std::move(systemctl)) {}

void LogindPower::request(host::PowerAction action) {
    const std::string verb = systemctl_verb(action);
    if (!systemctl_.is_absolute() || verb.empty()) {
        return;
    }
    // no password prompt: there is no terminal to answer it, and a refusal is simply no action
    const std::string args[] = {systemctl_.string(), "--no-ask-password", "--check-inhibitors=no",
                                verb};
    spawn_quiet({std::begin(args), std::end(args)}, ProgramLookup::ExactPath);
}

}  // namespace velmora::platform
