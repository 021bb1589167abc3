// Conversion between UiValue and JSON.
#include "velmora/bridge/ui_json.h"

#include <cmath>
#include <limits>

namespace velmora::bridge {
namespace {

struct ToJson {
    nlohmann::ordered_json operator()(Undefined) const { return nullptr; }
    nlohmann::ordered_json operator()(bool b) const { return b; }
    nlohmann::ordered_json operator()(std::int32_t i) const { return i; }
    nlohmann::ordered_json operator()(double d) const {
        // JSON has no NaN or infinity; the page would fail to parse the whole message.
        if (!std::isfinite(d)) {
            return nullptr;
        }
        return d;
    }
    nlohmann::ordered_json operator()(const std::string& s) const { return s; }
    nlohmann::ordered_json operator()(const UiArray& a) const {
        auto out = nlohmann::ordered_json::array();
        for (const auto& item : a) {
            out.push_back(to_json(item));
        }
        return out;
    }
    nlohmann::ordered_json operator()(const UiMap& m) const {
        auto out = nlohmann::ordered_json::object();
        for (const auto& [key, item] : m) {
            out[key] = to_json(item);
        }
        return out;
    }
};

UiValue from_integer(std::int64_t i) {
    if (i >= std::numeric_limits<std::int32_t>::min() &&
        i <= std::numeric_limits<std::int32_t>::max()) {
        return UiValue(static_cast<std::int32_t>(i));
    }
    return UiValue(static_cast<double>(i));
}

}  // namespace

nlohmann::ordered_json to_json(const UiValue& value) {
    return std::visit(ToJson{}, value.storage());
}

UiValue from_json(const nlohmann::ordered_json& json) {
    using Type = nlohmann::ordered_json::value_t;
    switch (json.type()) {
        case Type::boolean:
            return UiValue(json.get<bool>());
        case Type::number_integer:
            return from_integer(json.get<std::int64_t>());
        case Type::number_unsigned: {
            const auto u = json.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
                return UiValue(static_cast<std::int32_t>(u));
            }
            return UiValue(static_cast<double>(u));
        }
        case Type::number_float:
            return UiValue(json.get<double>());
        case Type::string:
            return UiValue(json.get<std::string>());
        case Type::array: {
            UiArray out;
            out.reserve(json.size());
            for (const auto& item : json) {
                out.push_back(from_json(item));
            }
            return UiValue(std::move(out));
        }
        case Type::object: {
            UiMap out;
            out.reserve(json.size());
            for (const auto& [key, item] : json.items()) {
                out.emplace_back(key, from_json(item));
            }
            return UiValue(std::move(out));
        }
        default:
            return UiValue();
    }
}

std::string to_json_text(const UiValue& value) {
    // Invalid UTF-8 is replaced rather than thrown: a log line must never fail.
    return to_json(value).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace velmora::bridge
