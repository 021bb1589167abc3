// The dynamic value that travels between the pages and the client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velmora::bridge {

class UiValue;
using UiArray = std::vector<UiValue>;
// Keys keep their insertion order: pages read some payloads by position.
using UiMap = std::vector<std::pair<std::string, UiValue>>;

struct Undefined {
    bool operator==(const Undefined&) const = default;
};

// Strings are UTF-8 inside the client; the page border converts them.
class UiValue {
public:
    using Storage =
        std::variant<Undefined, bool, std::int32_t, double, std::string, UiArray, UiMap>;

    UiValue() = default;
    UiValue(bool b) : v_(b) {}                           // NOLINT(google-explicit-constructor)
    UiValue(std::int32_t i) : v_(i) {}                   // NOLINT(google-explicit-constructor)
    UiValue(double d) : v_(d) {}                         // NOLINT(google-explicit-constructor)
    UiValue(std::string s) : v_(std::move(s)) {}         // NOLINT(google-explicit-constructor)
    UiValue(const char* s) : v_(std::string(s)) {}       // NOLINT(google-explicit-constructor)
    UiValue(std::string_view s) : v_(std::string(s)) {}  // NOLINT(google-explicit-constructor)
    UiValue(UiArray a) : v_(std::move(a)) {}             // NOLINT(google-explicit-constructor)
    UiValue(UiMap m) : v_(std::move(m)) {}               // NOLINT(google-explicit-constructor)

    bool is_undefined() const { return std::holds_alternative<Undefined>(v_); }
    bool is_bool() const { return std::holds_alternative<bool>(v_); }
    bool is_int() const { return std::holds_alternative<std::int32_t>(v_); }
    bool is_float() const { return std::holds_alternative<double>(v_); }
    bool is_string() const { return std::holds_alternative<std::string>(v_); }
    bool is_array() const { return std::holds_alternative<UiArray>(v_); }
    bool is_map() const { return std::holds_alternative<UiMap>(v_); }

    // Accessors of the exact kind; callers test the kind first.
    bool as_bool() const { return std::get<bool>(v_); }
    std::int32_t as_int() const { return std::get<std::int32_t>(v_); }
    double as_float() const { return std::get<double>(v_); }
    const std::string& as_string() const { return std::get<std::string>(v_); }
    const UiArray& as_array() const { return std::get<UiArray>(v_); }
    UiArray& as_array() { return std::get<UiArray>(v_); }
    const UiMap& as_map() const { return std::get<UiMap>(v_); }

    // Lenient readers shared by every command: an integer or a boolean reads as its number,
    // anything else as 0; a boolean is an integer other than 0.
    std::int32_t read_int() const;
    bool read_bool() const { return read_int() != 0; }
    // A string gives its characters; other kinds their plain text form.
    std::string read_text() const;
    // The map entry of that key, or undefined.
    const UiValue& at_key(std::string_view key) const;
    // The array element at that position, or undefined (also for a value that is no array).
    const UiValue& at_index(std::size_t index) const;

    const Storage& storage() const { return v_; }
    bool operator==(const UiValue& other) const = default;

private:
    Storage v_;
};

}  // namespace velmora::bridge
