// The table of the settings kept in the advanced settings file: one row per element, in file order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "velmora/config/client_settings.h"

namespace velmora::config {

enum class FieldKind { Bool, Int, Text };

// The file's five groups, in file order.
enum class SettingSection { Bool, Int, Text, DhtInt, DhtBool };

// A field's value; the alternative's index is the field's FieldKind.
using SettingValue = std::variant<bool, std::int32_t, std::string>;

struct SettingField {
    std::string_view name;  // the element name; for an engine key also the engine's name
    FieldKind kind;
    SettingSection section;
    SettingValue (*value)(const ClientSettings& settings);
    // Sets the field from an element's text: flags and integers are read by read_decimal_int
    // (a flag is true when the number is not 0), texts are taken unchanged.
    void (*set_from_text)(ClientSettings& settings, std::string_view text);
};

// All 212 rows, in file order. The table lives for the whole process.
std::span<const SettingField> settings_fields();

// The element text of the field: "1" or "0", a decimal integer, or the text itself.
std::string field_text(const SettingField& field, const ClientSettings& settings);

// Reads text the way the C library's atoi does: leading blanks, an optional sign, then digits up
// to the first other character; no digits give 0. A number outside the 32-bit range saturates
// at its nearest end, the way the platform the file format comes from behaves.
std::int32_t read_decimal_int(std::string_view text);

}  // namespace velmora::config
