// The page channel's decoder on arbitrary text: it always gives its messages, and a command it
// reads survives being written back out and read again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velmora/bridge/wire_protocol.h"

namespace {

using namespace velmora::bridge;

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "page message fuzzer: %s\n", what);
        std::abort();
    }
}

// A value the page sent, sent back in a reply, reads as a reply with the same id.
void require_round_trip(std::int64_t id, const UiValue& value) {
    std::string text = encode_return(id, true, value);
    const std::string kind = R"("t":"ret")";
    const std::size_t at = text.find(kind);
    require(at != std::string::npos, "a return without its type");
    text.replace(at, kind.size(), R"("t":"reply")");
    const std::vector<PageMessage> again = decode_page_frame(text);
    require(again.size() == 1, "a reply that reads as more than one message");
    const auto* reply = std::get_if<ReplyMessage>(&again.front());
    require(reply != nullptr && reply->id == id, "a value that does not read back");
}

void check(const PageMessage& message) {
    if (const auto* bad = std::get_if<BadMessage>(&message)) {
        require(!encode_error(*bad).empty(), "an error without text");
    } else if (const auto* reply = std::get_if<ReplyMessage>(&message)) {
        require_round_trip(reply->id, reply->value);
    } else if (const auto* command = std::get_if<CommandMessage>(&message)) {
        require_round_trip(command->id, UiValue(command->args));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const PageMessage& message : decode_page_frame(text)) {
        check(message);
    }
    return 0;
}
