// The ordered table of page-callable commands and its dispatcher.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/bridge/ui_value.h"

namespace velmora::bridge {

inline constexpr int kAnyArity = -1;

// What a command answers when it cannot do its work (a thrown handler, or a command whose
// subsystem is not built in): commands never fail toward the page.
enum class UsualResult { Undefined, True, False, Int, Float, Text, Array };

UiValue usual_value(UsualResult usual);

// The arguments of one command call, read by the lenient rules every handler follows.
class CommandArgs {
public:
    explicit CommandArgs(std::span<const UiValue> values) : values_(values) {}

    std::size_t size() const { return values_.size(); }
    // Past the end reads as undefined.
    const UiValue& operator[](std::size_t i) const;
    std::int32_t int_at(std::size_t i) const { return (*this)[i].read_int(); }
    bool bool_at(std::size_t i) const { return (*this)[i].read_bool(); }
    std::string text_at(std::size_t i) const { return (*this)[i].read_text(); }
    // A non-array reads as the empty array.
    const UiArray& array_at(std::size_t i) const;

private:
    std::span<const UiValue> values_;
};

using CommandHandler = std::function<UiValue(const CommandArgs&)>;

struct CommandEntry {
    std::string name;
    int arity = 0;  // kAnyArity matches every count
    UsualResult usual = UsualResult::Undefined;
    CommandHandler handler;  // empty: answers the usual result
};

// Thread: gui. Entries are matched in order; the first (name, arity) match wins.
class CommandTable {
public:
    explicit CommandTable(std::vector<CommandEntry> entries);

    // The handler's result, or nullopt when no entry matched ("not handled").
    // A handler that throws is logged and answers its usual result.
    std::optional<UiValue> dispatch(std::string_view name, std::span<const UiValue> args) const;

    const std::vector<CommandEntry>& entries() const { return entries_; }

private:
    const CommandEntry* find(std::string_view name, std::size_t argc) const;

    std::vector<CommandEntry> entries_;
};

}  // namespace velmora::bridge
