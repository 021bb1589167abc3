// Dispatch of page commands: lookup, arity check and error capture in one place.
#include "velmora/bridge/command_table.h"

#include <exception>
#include <iostream>

namespace velmora::bridge {
namespace {

// Pages written for the debug build call "debug"; it behaves as "log".
constexpr std::string_view kDebugAlias = "debug";
constexpr std::string_view kLogCommand = "log";

}  // namespace

UiValue usual_value(UsualResult usual) {
    switch (usual) {
        case UsualResult::True:
            return UiValue(true);
        case UsualResult::False:
            return UiValue(false);
        case UsualResult::Int:
            return UiValue(std::int32_t{0});
        case UsualResult::Float:
            return UiValue(0.0);
        case UsualResult::Text:
            return UiValue(std::string());
        case UsualResult::Array:
            return UiValue(UiArray{});
        case UsualResult::Undefined:
            break;
    }
    return UiValue();
}

const UiValue& CommandArgs::operator[](std::size_t i) const {
    static const UiValue kUndefined;
    return i < values_.size() ? values_[i] : kUndefined;
}

const UiArray& CommandArgs::array_at(std::size_t i) const {
    static const UiArray kEmpty;
    const UiValue& v = (*this)[i];
    return v.is_array() ? v.as_array() : kEmpty;
}

CommandTable::CommandTable(std::vector<CommandEntry> entries) : entries_(std::move(entries)) {}

const CommandEntry* CommandTable::find(std::string_view name, std::size_t argc) const {
    for (const auto& entry : entries_) {
        if (entry.name == name &&
            (entry.arity == kAnyArity || static_cast<std::size_t>(entry.arity) == argc)) {
            return &entry;
        }
    }
    return nullptr;
}

std::optional<UiValue> CommandTable::dispatch(std::string_view name,
                                              std::span<const UiValue> args) const {
    const CommandEntry* entry = find(name, args.size());
    if (entry == nullptr && name == kDebugAlias) {
        entry = find(kLogCommand, args.size());
    }
    if (entry == nullptr) {
        std::cerr << "velmora: command not handled: " << name << '/' << args.size() << '\n';
        return std::nullopt;
    }
    if (!entry->handler) {
        return usual_value(entry->usual);
    }
    try {
        return entry->handler(CommandArgs(args));
    } catch (const std::exception& e) {
        // a command never fails toward the page
        std::cerr << "velmora: command " << name << " failed: " << e.what() << '\n';
    }
    return usual_value(entry->usual);
}

}  // namespace velmora::bridge
