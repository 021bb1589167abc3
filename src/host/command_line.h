// The client's own options, separated from the texts it hands to the add flows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::host {

enum class UiKind { Web, Console };

struct CommandLine {
    UiKind ui = UiKind::Web;
    std::optional<std::string> home;   // --home DIR
    bool open_window = true;           // --no-window clears it
    std::uint16_t ui_port = 0;         // --ui-port N; 0 picks a free port
    std::vector<std::string> args;     // everything else, in order
    std::optional<std::string> error;  // a malformed option; the client then exits with 2
};

CommandLine parse_command_line(int argc, const char* const* argv);

}  // namespace velmora::host
