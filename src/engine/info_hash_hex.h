// The key of a torrent everywhere in the client: 40 lowercase hexadecimal digits.
#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <libtorrent/info_hash.hpp>
#include <libtorrent/sha1_hash.hpp>

namespace velmora::engine {

// The 20 bytes a torrent is known by: its v1 info-hash when it has one, otherwise the first 20
// bytes of its v2 info-hash. The engine's own "best" hash prefers v2, so it cannot be the key.
lt::sha1_hash torrent_key_hash(const lt::info_hash_t& hashes);
// torrent_key_hash as 40 lowercase hexadecimal digits.
std::string torrent_key(const lt::info_hash_t& hashes);

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
