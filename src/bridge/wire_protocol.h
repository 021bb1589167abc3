// The JSON messages exchanged with a page (one per WebSocket frame or per console line; the
// web engine may wrap several in one batch frame for a page that asks for it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velmora/bridge/ui_value.h"

namespace velmora::bridge {

// A page message larger than this is refused without being parsed.
inline constexpr std::size_t kMaxPageMessageBytes = 16U * 1024U * 1024U;

struct CommandMessage {
    std::int64_t id = 0;
    std::string name;
    UiArray args;
};

struct ReplyMessage {
    std::int64_t id = 0;
    UiValue value;
};

// A function key pressed in the page; receivers keep 1..12 only (is_function_key).
struct KeyMessage {
    std::int64_t key = 0;
};

// The page asks to close its window.
struct CloseMessage {};

// Files dropped on the page: local paths ("paths", from a page that can know them) or names
// the web engine gave the page's uploads ("files"), in drop order.
struct DropMessage {
    enum class Source { LocalPaths, Uploads };
    Source source = Source::LocalPaths;
    std::vector<std::string> names;
};

// Why a message was refused; `id` is echoed when the message carried one.
struct BadMessage {
    std::string reason;
    std::optional<std::int64_t> id;
};

using PageMessage =
    std::variant<CommandMessage, ReplyMessage, KeyMessage, CloseMessage, DropMessage, BadMessage>;

// The messages of one frame from a page, in order. A page that reads batch frames may write
// them too, {"t":"batch","m":[message, ...]}: a tick's answers then cost it a few frames.
std::vector<PageMessage> decode_page_frame(std::string_view text);

std::string encode_return(std::int64_t id, bool handled, const UiValue& value);
std::string encode_call(std::int64_t id, std::string_view fn, const UiValue& arg);
std::string encode_error(const BadMessage& bad);
// A request about the page's window that needs no answer, e.g. "toggle_maximized".
// "url" travels along when it is not empty.
std::string encode_window(std::string_view op, std::string_view url = {});

}  // namespace velmora::bridge
