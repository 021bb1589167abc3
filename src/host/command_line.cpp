// Command-line options of the client.
#include "velmora/host/command_line.h"

#include <charconv>
#include <string_view>

namespace velmora::host {
namespace {

std::optional<std::uint16_t> read_port(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
    CommandLine out;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--home" && has_value) {
            out.home = argv[++i];
        } else if (arg == "--ui" && has_value) {
            const std::string_view kind = argv[++i];
            if (kind == "console") {
                out.ui = UiKind::Console;
            } else if (kind == "web") {
                out.ui = UiKind::Web;
            } else {
                out.error = "unknown --ui engine: " + std::string(kind);
            }
        } else if (arg == "--no-window") {
            out.open_window = false;
        } else if (arg == "--ui-port" && has_value) {
            const auto port = read_port(argv[++i]);
            if (port) {
                out.ui_port = *port;
            } else {
                out.error = "bad --ui-port: " + std::string(argv[i]);
            }
        } else if (arg == "--home" || arg == "--ui" || arg == "--ui-port") {
            out.error = std::string(arg) + " needs a value";
        } else {
            out.args.emplace_back(arg);
        }
    }
    return out;
}

}  // namespace velmora::host
