// Lenient reading of page values.
#include "velmora/bridge/ui_value.h"

#include "velmora/bridge/ui_json.h"

namespace velmora::bridge {

std::int32_t UiValue::read_int() const {
    if (is_int()) {
        return as_int();
    }
    if (is_bool()) {
        return as_bool() ? 1 : 0;
    }
    return 0;
}

std::string UiValue::read_text() const {
    if (is_string()) {
        return as_string();
    }
    if (is_undefined()) {
        return {};
    }
    return to_json_text(*this);
}

namespace {
const UiValue kUndefined;
}  // namespace

const UiValue& UiValue::at_index(std::size_t index) const {
    if (!is_array() || index >= as_array().size()) {
        return kUndefined;
    }
    return as_array()[index];
}

const UiValue& UiValue::at_key(std::string_view key) const {
    if (!is_map()) {
        return kUndefined;
    }
    for (const auto& [k, v] : as_map()) {
        if (k == key) {
            return v;
        }
    }
    return kUndefined;
}

}  // namespace velmora::bridge
