// JSON form of UiValue, used by the wire protocol and by the "log" command.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "velmora/bridge/ui_value.h"

namespace velmora::bridge {

// Undefined travels as null; integers that fit 32 bits read back as int, other numbers as float.
nlohmann::ordered_json to_json(const UiValue& value);
UiValue from_json(const nlohmann::ordered_json& json);

// Compact JSON text; a string value appears in quotes. Invalid UTF-8 is replaced.
std::string to_json_text(const UiValue& value);
// The same text appended to `out`, written straight from the value: a tick encodes thousands
// of torrents, and building a JSON tree for each first cost more than the rest of the send.
void append_json_text(std::string& out, const UiValue& value);

}  // namespace velmora::bridge
