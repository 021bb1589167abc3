// Dispatch order, arity, the debug alias and error capture of the command table.
#include "velmora/bridge/command_table.h"

#include <stdexcept>

#include <gtest/gtest.h>

namespace velmora::bridge {
namespace {

CommandTable sample_table(std::vector<std::string>& calls) {
    auto record = [&calls](std::string tag) {
        return [&calls, tag](const CommandArgs&) {
            calls.push_back(tag);
            return UiValue(tag);
        };
    };
    return CommandTable({
        {"title", 0, UsualResult::Text, record("title/0")},
        {"title", 1, UsualResult::Undefined, record("title/1")},
        {"log", kAnyArity, UsualResult::Undefined, record("log")},
        {"dup", 1, UsualResult::Int, record("first")},
        {"dup", 1, UsualResult::Int, record("second")},
        {"later", 0, UsualResult::Array, {}},
        {"throws", 0, UsualResult::True,
         [](const CommandArgs&) -> UiValue { throw std::runtime_error("boom"); }},
    });
}

TEST(CommandTable, MatchesNameAndArityInOrder) {
    std::vector<std::string> calls;
    const auto table = sample_table(calls);
    const UiValue one[] = {UiValue("x")};
    const UiValue two[] = {UiValue("x"), UiValue("y")};

    EXPECT_EQ(table.dispatch("title", {}), UiValue("title/0"));
    EXPECT_EQ(table.dispatch("title", one), UiValue("title/1"));
    EXPECT_EQ(table.dispatch("title", two), std::nullopt);
    EXPECT_EQ(table.dispatch("dup", one), UiValue("first"));
    EXPECT_EQ(table.dispatch("Title", {}), std::nullopt);  // names are case-sensitive
    EXPECT_EQ(table.dispatch("unknown", {}), std::nullopt);
}

TEST(CommandTable, LogAndDebugTakeAnyCount) {
    std::vector<std::string> calls;
    const auto table = sample_table(calls);
    const UiValue three[] = {UiValue(1), UiValue("a"), UiValue(true)};
    EXPECT_TRUE(table.dispatch("log", {}).has_value());
    EXPECT_TRUE(table.dispatch("debug", three).has_value());
    EXPECT_EQ(calls, (std::vector<std::string>{"log", "log"}));
}

TEST(CommandTable, UnbuiltAndThrowingCommandsAnswerTheirUsualResult) {
    std::vector<std::string> calls;
    const auto table = sample_table(calls);
    EXPECT_EQ(table.dispatch("later", {}), UiValue(UiArray{}));
    EXPECT_EQ(table.dispatch("throws", {}), UiValue(true));
}

TEST(CommandArgs, ReadsLeniently) {
    const UiValue values[] = {UiValue("12"), UiValue(true), UiValue(2.5), UiValue(7),
                              UiValue(UiArray{UiValue(1)})};
    const CommandArgs args(values);
    EXPECT_EQ(args.int_at(0), 0);  // a string does not read as an integer
    EXPECT_FALSE(args.bool_at(0));
    EXPECT_EQ(args.int_at(1), 1);
    EXPECT_EQ(args.int_at(2), 0);
    EXPECT_TRUE(args.bool_at(3));
    EXPECT_EQ(args.text_at(3), "7");
    EXPECT_EQ(args.text_at(0), "12");
    EXPECT_EQ(args.array_at(4).size(), 1U);
    EXPECT_TRUE(args.array_at(0).empty());
    EXPECT_TRUE(args[9].is_undefined());
    EXPECT_EQ(args.text_at(9), "");
}

}  // namespace
}  // namespace velmora::bridge
