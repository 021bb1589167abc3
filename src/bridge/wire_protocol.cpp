// Decoding and encoding of page messages; nothing a page sends may throw past here.
#include "velmora/bridge/wire_protocol.h"

#include <algorithm>

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

}  // namespace

PageMessage decode_page_message(std::string_view text) {
    if (text.size() > kMaxPageMessageBytes) {
        return BadMessage{"message too large", std::nullopt};
    }
    if (!nesting_within_limit(text)) {
        return BadMessage{"message nested too deeply", std::nullopt};
    }
    Json message = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (message.is_discarded()) {
        return BadMessage{"message is not valid JSON", std::nullopt};
    }
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
