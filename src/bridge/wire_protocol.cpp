// Decoding and encoding of page messages; nothing a page sends may throw past here.
#include "velmora/bridge/wire_protocol.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "velmora/bridge/ui_json.h"

namespace velmora::bridge {
namespace {

using Json = nlohmann::ordered_json;

std::optional<std::int64_t> read_id(const Json& message) {
    const auto it = message.find("id");
    if (it == message.end() || !it->is_number_integer()) {
        return std::nullopt;
    }
    return it->get<std::int64_t>();
}

PageMessage decode_command(const Json& message, std::int64_t id) {
    const auto name = message.find("name");
    if (name == message.end() || !name->is_string()) {
        return BadMessage{"command without a name", id};
    }
    CommandMessage cmd{id, name->get<std::string>(), {}};
    const auto args = message.find("args");
    if (args != message.end() && !args->is_null()) {
        if (!args->is_array()) {
            return BadMessage{"command arguments are not an array", id};
        }
        cmd.args = from_json(*args).as_array();
    }
    return cmd;
}

PageMessage decode_key(const Json& message, std::optional<std::int64_t> id) {
    const auto key = message.find("key");
    if (key == message.end() || !key->is_number_integer()) {
        return BadMessage{"key message without an integer key", id};
    }
    // a number beyond int64 wraps to a negative one, which no receiver keeps
    return KeyMessage{key->get<std::int64_t>()};
}

PageMessage decode_drop(const Json& message, std::optional<std::int64_t> id) {
    const auto paths = message.find("paths");
    const auto files = message.find("files");
    if ((paths == message.end()) == (files == message.end())) {
        return BadMessage{"drop message needs either paths or files", id};
    }
    const bool local = paths != message.end();
    const Json& list = local ? *paths : *files;
    if (!list.is_array()) {
        return BadMessage{"drop list is not an array", id};
    }
    DropMessage drop{local ? DropMessage::Source::LocalPaths : DropMessage::Source::Uploads, {}};
    drop.names.reserve(list.size());
    for (const Json& name : list) {
        if (!name.is_string() || name.get_ref<const std::string&>().empty()) {
            return BadMessage{"drop list holds something other than a name", id};
        }
        drop.names.push_back(name.get<std::string>());
    }
    return drop;
}

// Nesting beyond this is refused before parsing: the value conversion recurses.
constexpr int kMaxNesting = 256;

bool nesting_within_limit(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

PageMessage decode_parsed(const Json& message) {
    if (!message.is_object()) {
        return BadMessage{"message is not an object", std::nullopt};
    }
    const auto id = read_id(message);
    const auto kind = message.find("t");
    if (kind == message.end() || !kind->is_string()) {
        return BadMessage{"message without a type", id};
    }
    const auto& type = kind->get_ref<const std::string&>();
    // window input needs no answer, so it carries no id
    if (type == "key") {
        return decode_key(message, id);
    }
    if (type == "close") {
        return CloseMessage{};
    }
    if (type == "drop") {
        return decode_drop(message, id);
    }
    if (type == "batch") {
        return BadMessage{"a batch inside a batch", id};
    }
    if (!id) {
        return BadMessage{"message without an integer id", std::nullopt};
    }
    if (type == "cmd") {
        return decode_command(message, *id);
    }
    if (type == "reply") {
        const auto value = message.find("value");
        return ReplyMessage{*id, value == message.end() ? UiValue() : from_json(*value)};
    }
    return BadMessage{"unknown message type", id};
}

// Where the text holds only what a page writes for a null reply, the reply's id. What the
// parser would read otherwise (a leading zero, a sign, spaces) takes the parser.
std::optional<std::int64_t> null_reply_id(std::string_view text) {
    constexpr std::string_view kHead = R"({"t":"reply","id":)";
    constexpr std::string_view kTail = R"(,"value":null})";
    if (text.size() <= kHead.size() + kTail.size() || !text.starts_with(kHead) ||
        !text.ends_with(kTail)) {
        return std::nullopt;
    }
    const std::string_view digits =
        text.substr(kHead.size(), text.size() - kHead.size() - kTail.size());
    if (digits.front() < '0' || digits.front() > '9' ||
        (digits.size() > 1 && digits.front() == '0')) {
        return std::nullopt;
    }
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return id;
}

// A batch of null replies, as a page answers a tick's events, read without the parser; none
// when any of its messages is something else.
std::optional<std::vector<PageMessage>> null_reply_batch(std::string_view text) {
    constexpr std::string_view kHead = R"({"t":"batch","m":[)";
    constexpr std::string_view kTail = "]}";
    if (text.size() < kHead.size() + kTail.size() || !text.starts_with(kHead) ||
        !text.ends_with(kTail)) {
        return std::nullopt;
    }
    std::string_view items = text.substr(kHead.size(), text.size() - kHead.size() - kTail.size());
    std::vector<PageMessage> replies;
    while (!items.empty()) {
        // a null reply holds no '}' before its end
        const std::size_t end = items.find('}');
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        const std::optional<std::int64_t> id = null_reply_id(items.substr(0, end + 1));
        if (!id) {
            return std::nullopt;
        }
        replies.emplace_back(ReplyMessage{*id, UiValue()});
        items.remove_prefix(end + 1);
        if (!items.empty()) {
            if (items.front() != ',' || items.size() == 1) {
                return std::nullopt;
            }
            items.remove_prefix(1);
        }
    }
    return replies;
}

// Why the parser is not to see the text at all, if it is not.
std::optional<BadMessage> refused_before_parsing(std::string_view text) {
    if (text.size() > kMaxPageMessageBytes) {
        return BadMessage{"message too large", std::nullopt};
    }
    if (!nesting_within_limit(text)) {
        return BadMessage{"message nested too deeply", std::nullopt};
    }
    return std::nullopt;
}

}  // namespace

std::vector<PageMessage> decode_page_frame(std::string_view text) {
    if (const std::optional<std::int64_t> id = null_reply_id(text)) {
        return {ReplyMessage{*id, UiValue()}};
    }
    if (std::optional<std::vector<PageMessage>> replies = null_reply_batch(text)) {
        return std::move(*replies);
    }
    if (std::optional<BadMessage> refused = refused_before_parsing(text)) {
        return {std::move(*refused)};
    }
    const Json message = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (message.is_discarded()) {
        return {BadMessage{"message is not valid JSON", std::nullopt}};
    }
    const auto kind = message.is_object() ? message.find("t") : message.end();
    if (kind == message.end() || *kind != "batch") {
        return {decode_parsed(message)};
    }
    const auto items = message.find("m");
    if (items == message.end() || !items->is_array()) {
        return {BadMessage{"batch without a list of messages", read_id(message)}};
    }
    std::vector<PageMessage> messages;
    messages.reserve(items->size());
    for (const Json& item : *items) {
        messages.push_back(decode_parsed(item));
    }
    return messages;
}

std::string encode_return(std::int64_t id, bool handled, const UiValue& value) {
    Json out{{"t", "ret"}, {"id", id}, {"handled", handled}, {"value", to_json(value)}};
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string encode_call(std::int64_t id, std::string_view fn, const UiValue& arg) {
    // A tick encodes thousands of calls of about the same size: room for the last one's text
    // spares most of the string's regrowth. A large one lends its size to the next call only,
    // and no more than this.
    constexpr std::size_t kMostReserved = 64U * 1024U;
    thread_local std::size_t last_size = 0;
    std::string out;
    out.reserve(std::min(last_size, kMostReserved) + 64);
    out += R"({"t":"call","id":)";
    out += std::to_string(id);
    out += R"(,"fn":)";
    append_json_text(out, UiValue(std::string(fn)));
    out += R"(,"arg":)";
    append_json_text(out, arg);
    out += '}';
    last_size = out.size();
    return out;
}

std::string encode_error(const BadMessage& bad) {
    Json out{{"t", "error"}, {"message", bad.reason}};
    if (bad.id) {
        out["id"] = *bad.id;
    }
    return out.dump();
}

std::string encode_window(std::string_view op, std::string_view url) {
    Json out{{"t", "window"}, {"op", std::string(op)}};
    if (!url.empty()) {
        out["url"] = std::string(url);
    }
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace velmora::bridge
