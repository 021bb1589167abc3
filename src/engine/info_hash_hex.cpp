// Validation of torrent keys.
#include "velmora/engine/info_hash_hex.h"

#include <algorithm>
#include <utility>

#include "velmora/engine/client_functions.h"

namespace velmora::engine {
namespace {

constexpr std::size_t kHexDigits = 40;

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

}  // namespace

lt::sha1_hash torrent_key_hash(const lt::info_hash_t& hashes) {
    if (hashes.has_v1() || !hashes.has_v2()) {
        return hashes.v1;
    }
    return lt::sha1_hash(hashes.v2.data());
}

std::string torrent_key(const lt::info_hash_t& hashes) {
    return hash_to_hex(torrent_key_hash(hashes));
}

InfoHashHex::InfoHashHex(std::string hex) : hex_(std::move(hex)) {}

std::optional<InfoHashHex> InfoHashHex::parse(std::string_view text) {
    // uppercase digits are refused: keys are compared as text, so one hash must have one key
    if (text.size() != kHexDigits || !std::all_of(text.begin(), text.end(), is_lower_hex)) {
        return std::nullopt;
    }
    return InfoHashHex(std::string(text));
}

}  // namespace velmora::engine
