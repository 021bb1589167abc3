// The key of a torrent everywhere in the client: 40 lowercase hexadecimal digits.
#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::engine {

// A validated key; the only way to make one is parse(), so holding one means the text is well
// formed. Thread: any (a value type).
class InfoHashHex {
public:
    // nullopt unless the text is exactly 40 lowercase hexadecimal digits.
    static std::optional<InfoHashHex> parse(std::string_view text);

    const std::string& str() const { return hex_; }
    auto operator<=>(const InfoHashHex&) const = default;

private:
    explicit InfoHashHex(std::string hex);

    std::string hex_;
};

}  // namespace velmora::engine

template <>
struct std::hash<velmora::engine::InfoHashHex> {
    std::size_t operator()(const velmora::engine::InfoHashHex& key) const noexcept {
        return std::hash<std::string>{}(key.str());
    }
};
