// Decoding of page messages: good shapes, and every kind of bad input answered cleanly.
#include "velmora/bridge/wire_protocol.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/bridge/ui_json.h"

namespace velmora::bridge {
namespace {

// The one message of a plain frame.
PageMessage decode_page_message(std::string_view text) {
    std::vector<PageMessage> messages = decode_page_frame(text);
    EXPECT_EQ(messages.size(), 1U);
    return messages.empty() ? PageMessage{BadMessage{}} : std::move(messages.front());
}

TEST(WireProtocol, DecodesCommandsAndReplies) {
    auto cmd = decode_page_message(
        R"({"t":"cmd","id":7,"name":"get_version","args":[1,"a",null,2.5,true,{"k":[]}]})");
    ASSERT_TRUE(std::holds_alternative<CommandMessage>(cmd));
    const auto& c = std::get<CommandMessage>(cmd);
    EXPECT_EQ(c.id, 7);
    EXPECT_EQ(c.name, "get_version");
    ASSERT_EQ(c.args.size(), 6U);
    EXPECT_EQ(c.args[0], UiValue(1));
    EXPECT_EQ(c.args[1], UiValue("a"));
    EXPECT_TRUE(c.args[2].is_undefined());
    EXPECT_EQ(c.args[3], UiValue(2.5));
    EXPECT_EQ(c.args[4], UiValue(true));
    EXPECT_TRUE(c.args[5].is_map());

    auto reply = decode_page_message(R"({"t":"reply","id":3,"value":-1})");
    ASSERT_TRUE(std::holds_alternative<ReplyMessage>(reply));
    EXPECT_EQ(std::get<ReplyMessage>(reply).value, UiValue(-1));

    auto no_args = decode_page_message(R"({"t":"cmd","id":1,"name":"x"})");
    EXPECT_TRUE(std::get<CommandMessage>(no_args).args.empty());
}

TEST(WireProtocol, DecodesWindowInputWithoutAnId) {
    using Source = DropMessage::Source;
    const struct {
        std::string text;
        PageMessage expected;
    } cases[] = {
        {R"({"t":"key","key":5})", KeyMessage{5}},
        // the receiver, not the decoder, keeps 1..12
        {R"({"t":"key","key":13})", KeyMessage{13}},
        {R"({"t":"key","key":-1,"id":4})", KeyMessage{-1}},
        {R"({"t":"close"})", CloseMessage{}},
        {R"({"t":"close","why":"button"})", CloseMessage{}},
        {R"({"t":"drop","paths":["/x/a.torrent","b.vtr"]})",
         DropMessage{Source::LocalPaths, {"/x/a.torrent", "b.vtr"}}},
        {R"({"t":"drop","files":["2/a.torrent","1/a.torrent"]})",
         DropMessage{Source::Uploads, {"2/a.torrent", "1/a.torrent"}}},
        {R"({"t":"drop","files":[]})", DropMessage{Source::Uploads, {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const PageMessage message = decode_page_message(c.text);
        ASSERT_EQ(message.index(), c.expected.index());
        if (const auto* key = std::get_if<KeyMessage>(&message)) {
            EXPECT_EQ(key->key, std::get<KeyMessage>(c.expected).key);
        }
        if (const auto* drop = std::get_if<DropMessage>(&message)) {
            EXPECT_EQ(drop->source, std::get<DropMessage>(c.expected).source);
            EXPECT_EQ(drop->names, std::get<DropMessage>(c.expected).names);
        }
    }
}

TEST(WireProtocol, RefusesBadMessages) {
    const std::string deep(1000, '[');
    const std::string huge =
        R"({"t":"cmd","id":1,"name":")" + std::string(kMaxPageMessageBytes, 'a') + R"("})";
    const struct {
        std::string text;
        bool echoes_id;
    } cases[] = {
        {"", false},
        {"not json", false},
        {"[1,2]", false},
        {R"({"t":"cmd","name":"x"})", false},
        {R"({"t":"cmd","id":"1","name":"x"})", false},
        {R"({"t":"cmd","id":1})", true},
        {R"({"t":"cmd","id":1,"name":5})", true},
        {R"({"t":"cmd","id":1,"name":"x","args":{}})", true},
        {R"({"t":"other","id":2})", true},
        {R"({"id":2})", true},
        {R"({"t":"key"})", false},
        {R"({"t":"key","key":"F5"})", false},
        {R"({"t":"key","key":5.5,"id":3})", true},
        {R"({"t":"drop"})", false},
        {R"({"t":"drop","paths":"/a.torrent"})", false},
        {R"({"t":"drop","files":[1]})", false},
        {R"({"t":"drop","files":[""]})", false},
        {R"({"t":"drop","paths":["/a"],"files":["1/a"]})", false},
        {"{\"t\":\"cmd\",\"id\":1,\"name\":\"\xff\"}", false},
        {deep, false},
        {huge, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        const auto message = decode_page_message(c.text);
        ASSERT_TRUE(std::holds_alternative<BadMessage>(message));
        EXPECT_EQ(std::get<BadMessage>(message).id.has_value(), c.echoes_id);
        EXPECT_NE(encode_error(std::get<BadMessage>(message)).find(R"("t":"error")"),
                  std::string::npos);
    }
}

// A frame's messages in short: "reply <id> <value>", "cmd <id> <name>", "bad <id or ->".
std::vector<std::string> frame_summary(std::string_view text) {
    std::vector<std::string> out;
    for (const PageMessage& message : decode_page_frame(text)) {
        if (const auto* reply = std::get_if<ReplyMessage>(&message)) {
            out.push_back("reply " + std::to_string(reply->id) + " " + to_json_text(reply->value));
        } else if (const auto* cmd = std::get_if<CommandMessage>(&message)) {
            out.push_back("cmd " + std::to_string(cmd->id) + " " + cmd->name);
        } else if (const auto* bad = std::get_if<BadMessage>(&message)) {
            out.push_back("bad " + (bad->id ? std::to_string(*bad->id) : std::string("-")));
        } else {
            out.push_back("other");
        }
    }
    return out;
}

// The page answers a tick's calls in batches of null replies, read without the parser; what
// that reading refuses must come out as the parser reads it.
TEST(WireProtocol, ReadsBatchFramesFromThePage) {
    using Summary = std::vector<std::string>;
    const std::string null1 = R"({"t":"reply","id":1,"value":null})";
    const std::string null2 = R"({"t":"reply","id":2,"value":null})";
    const struct {
        std::string text;
        Summary expected;
    } cases[] = {
        {null1, {"reply 1 null"}},
        {R"({"t":"reply","id":012,"value":null})", {"bad -"}},
        {R"({"t":"reply","id":-1,"value":null})", {"reply -1 null"}},
        {R"({"t":"batch","m":[)" + null1 + "," + null2 + "]}", {"reply 1 null", "reply 2 null"}},
        {R"({"t":"batch","m":[{"t":"reply","id":1,"value":[7]},{"t":"cmd","id":2,"name":"x"},)" +
             null2 + "]}",
         {"reply 1 [7]", "cmd 2 x", "reply 2 null"}},
        {R"({"t":"batch", "m":[ )" + null1 + " ]}", {"reply 1 null"}},
        {R"({"t":"batch","m":[)" + null1 + R"(],"more":{}})", {"reply 1 null"}},
        {R"({"t":"batch","m":[)" + null1 + R"(,{"t":"cmd","id":2},{"t":"batch","m":[]},5]})",
         {"reply 1 null", "bad 2", "bad -", "bad -"}},
        {R"({"t":"batch","m":[]})", {}},
        {R"({"t":"batch","m":{},"id":4})", {"bad 4"}},
        {R"({"t":"batch","m":[)" + null1 + ",]}", {"bad -"}},
        {R"({"t":"batch","m":[)" + null1 + null2 + "]}", {"bad -"}},
        {R"({"t":"batch","m":[)" + null1 + ",," + null2 + "]}", {"bad -"}},
        {R"({"t":"batch","m":[{"t":"reply","id":99999999999999999999,"value":null}]})", {"bad -"}},
        {R"({"t":"batch","m":[{"t":"reply","id":1,"value":null])", {"bad -"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(frame_summary(c.text), c.expected);
    }
}

TEST(WireProtocol, EncodesUndefinedAsNullAndKeepsMapOrder) {
    EXPECT_EQ(encode_return(4, true, UiValue()),
              R"({"t":"ret","id":4,"handled":true,"value":null})");
    const UiValue map(UiMap{{"z", UiValue(1)}, {"a", UiValue("b")}});
    EXPECT_EQ(encode_call(9, "update_torrent", map),
              R"({"t":"call","id":9,"fn":"update_torrent","arg":{"z":1,"a":"b"}})");
    // invalid UTF-8 from a file name must not break the message
    EXPECT_NO_THROW(encode_call(1, "f", UiValue(std::string("\xff\xfe"))));
    EXPECT_EQ(encode_window("toggle_maximized"), R"({"t":"window","op":"toggle_maximized"})");
}

// Page messages are written straight from the value; the text must be the library's, to the
// byte, for every kind of value a page is sent.
TEST(WireProtocol, WritesValuesAsTheJsonLibraryDoes) {
    const std::vector<UiValue> cases{
        UiValue(),
        UiValue(true),
        UiValue(-2147483647 - 1),
        UiValue(0.1),
        UiValue(1.0),
        UiValue(1e300),
        UiValue(-0.0),
        UiValue(std::nan("")),
        UiValue(-std::numeric_limits<double>::infinity()),
        UiValue(5e-324),
        UiValue(123456789012345.0),
        UiValue(1e15),
        UiValue(-3.0),
        UiValue(4294967296.0),
        UiValue(999999999999999.0),
        UiValue(-999999999999999.0),
        UiValue(9007199254740991.0),
        UiValue(9007199254740992.0),
        UiValue(-9007199254740994.0),
        UiValue(1e16),
        UiValue(0.5),
        UiValue(-1.5),
        UiValue(-1.25e-7),
        UiValue("plain"),
        UiValue(std::string("quote \" back \\ tab \t nl \n nul \0 del \x7f", 37)),
        UiValue("\xc3\xa9t\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x98\x80"),
        UiValue(std::string("\xff\xfe half \xc3")),
        UiValue(UiArray{}),
        UiValue(UiMap{}),
        UiValue(UiArray{UiValue(1), UiValue(UiMap{{"k\"", UiValue(UiArray{UiValue()})}})}),
    };
    for (const UiValue& value : cases) {
        const std::string library =
            to_json(value).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        EXPECT_EQ(to_json_text(value), library);
        EXPECT_EQ(encode_call(3, "f", value),
                  R"({"t":"call","id":3,"fn":"f","arg":)" + library + "}");
    }
}

}  // namespace
}  // namespace velmora::bridge
