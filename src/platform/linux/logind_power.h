// The machine's power actions through systemctl, which asks logind to carry them out.
#pragma once

#include <filesystem>
#include <string>

#include "velmora/host/shell.h"

namespace velmora::platform {

// The systemctl verb of each action.
std::string systemctl_verb(host::PowerAction action);

// Inhibitors are not consulted: the client may hold a sleep inhibitor of its own, and the user
// asked for the action. Thread: any.
class LogindPower final : public host::PowerActions {
public:
    // The program by its absolute path; a relative one is never run, as it would depend on the
    // working folder.
    explicit LogindPower(std::filesystem::path systemctl = "/usr/bin/systemctl");

    // Starts the program and returns; it is reaped in the background.
    void request(host::PowerAction action) override;

private:
    std::filesystem::path systemctl_;
};

}  // namespace velmora::platform
