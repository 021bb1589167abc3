// Conversion between UiValue and JSON.
#include "velmora/bridge/ui_json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <iterator>
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
    std::string out;
    append_json_text(out, value);
    return out;
}

namespace {

// Invalid UTF-8 is replaced rather than thrown: a log line or a page message must never fail.
std::string dump_replacing(const nlohmann::ordered_json& json) {
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Printable ASCII other than the quote and the backslash stands in JSON as it is; anything
// else takes the library's escaping, so the text stays what it always was.
constexpr std::array<bool, 256> kStandsAsItIs = [] {
    std::array<bool, 256> table{};
    for (int byte = 0x20; byte < 0x7F; ++byte) {
        table[static_cast<std::size_t>(byte)] = byte != '"' && byte != '\\';
    }
    return table;
}();

bool needs_escaping(const std::string& text) {
    return !std::all_of(text.begin(), text.end(),
                        [](char c) { return kStandsAsItIs[static_cast<unsigned char>(c)]; });
}

void append_string(std::string& out, const std::string& text) {
    if (needs_escaping(text)) {
        out += dump_replacing(text);
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

// The library writes a whole number below 10^15 as its digits and ".0" (from there on with an
// exponent). The sizes and counts of a tick beyond 32 bits are such numbers, and their digits
// cost far less than the library's search for the shortest form. All of them are exact.
constexpr double kPlainWholeBound = 1e15;

bool append_whole(std::string& out, double d) {
    if (!(std::fabs(d) >= 1.0 && std::fabs(d) < kPlainWholeBound) || std::trunc(d) != d) {
        return false;
    }
    char digits[24];
    char* end =
        std::to_chars(std::begin(digits), std::end(digits), static_cast<std::int64_t>(d)).ptr;
    out.append(digits, end);
    out += ".0";
    return true;
}

struct AppendJson {
    std::string& out;
    void operator()(Undefined) const { out += "null"; }
    void operator()(bool b) const { out += b ? "true" : "false"; }
    void operator()(std::int32_t i) const {
        char digits[16];
        const auto end = std::to_chars(std::begin(digits), std::end(digits), i).ptr;
        out.append(digits, end);
    }
    // The library's own shortest round-trip form, written in place: a tick writes tens of
    // thousands of numbers, and a json value and a serializer for each cost more than the digits.
    void operator()(double d) const {
        if (!std::isfinite(d)) {
            out += "null";
            return;
        }
        if (append_whole(out, d)) {
            return;
        }
        std::array<char, 64> digits{};
        char* end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(), d);
        out.append(digits.data(), end);
    }
    void operator()(const std::string& s) const { append_string(out, s); }
    void operator()(const UiArray& a) const {
        out += '[';
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (i > 0) {
                out += ',';
            }
            std::visit(*this, a[i].storage());
        }
        out += ']';
    }
    // A key given twice appears twice; a page's parser keeps the last, as the library did.
    void operator()(const UiMap& m) const {
        out += '{';
        for (std::size_t i = 0; i < m.size(); ++i) {
            if (i > 0) {
                out += ',';
            }
            append_string(out, m[i].first);
            out += ':';
            std::visit(*this, m[i].second.storage());
        }
        out += '}';
    }
};

}  // namespace

void append_json_text(std::string& out, const UiValue& value) {
    std::visit(AppendJson{out}, value.storage());
}

}  // namespace velmora::bridge
