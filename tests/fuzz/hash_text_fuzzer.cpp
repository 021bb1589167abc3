// Every reader of outside text that names a torrent, on the same arbitrary text: the command-line
// router, the magnet add flow's reader, the torrent key check with the hex reader of the bare-hash
// add, and the base64 reader of the catalogue search's adds. A magnet link that is read names a
// torrent and keeps it when written back out; hex and base64 hashes read back to the bytes they
// were written from; the key check and the hex reader agree on which texts are keys.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <libtorrent/error_code.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/sha1_hash.hpp>

#include "velmora/engine/client_functions.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/host/client.h"
#include "velmora/lifecycle/torrent_lifecycle.h"
#include "velmora/lifecycle/torrent_maps.h"

namespace {

using velmora::engine::hash_to_hex;
using velmora::engine::InfoHashHex;
using velmora::engine::to_hash;

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "hash text fuzzer: %s\n", what);
        std::abort();
    }
}

int assertion_reports = 0;

// Standard alphabet, with the one "=" that 20 bytes end with.
std::string base64_of(const lt::sha1_hash& hash) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int bit_count = 0;
    for (const char c : std::string_view(hash.data(), lt::sha1_hash::size())) {
        bits = (bits << 8U) | static_cast<unsigned>(static_cast<unsigned char>(c));
        bit_count += 8;
        while (bit_count >= 6) {
            bit_count -= 6;
            out.push_back(kAlphabet[(bits >> static_cast<unsigned>(bit_count)) & 0x3FU]);
        }
    }
    out.push_back(kAlphabet[(bits << static_cast<unsigned>(6 - bit_count)) & 0x3FU]);
    return out + "=";
}

void check_magnet(std::string_view text) {
    using velmora::host::argument_flow;
    using velmora::host::ArgumentFlow;
    lt::error_code error;
    const lt::add_torrent_params magnet = velmora::lifecycle::read_magnet_link(text, error);
    if (error) {
        return;
    }
    require(argument_flow(text) == ArgumentFlow::Magnet,
            "a magnet link that the command line hands to another flow");
    require(magnet.info_hashes.has_v1() || magnet.info_hashes.has_v2(),
            "a magnet link read without a torrent to name");
    require(InfoHashHex::parse(velmora::engine::torrent_key(magnet.info_hashes)).has_value(),
            "a magnet link whose key is not a key");
    lt::error_code again_error;
    const lt::add_torrent_params again =
        velmora::lifecycle::read_magnet_link(lt::make_magnet_uri(magnet), again_error);
    require(!again_error, "a magnet link written back out is refused");
    require(again.info_hashes == magnet.info_hashes,
            "a magnet link written back out names another torrent");
}

void check_hex(std::string_view text) {
    assertion_reports = 0;
    const std::optional<InfoHashHex> key = InfoHashHex::parse(text);
    const lt::sha1_hash digest = to_hash(text);
    require(key.has_value() == (assertion_reports == 0),
            "the key check and the hex reader disagree on a text");
    if (key) {
        require(hash_to_hex(digest) == text, "a key that does not read back to itself");
    }
    require(InfoHashHex::parse(hash_to_hex(digest)).has_value(), "written hex that is not a key");
}

void check_base64(std::string_view text) {
    const std::optional<std::string> hex = velmora::lifecycle::base64_hash_to_hex(text);
    if (!hex) {
        return;
    }
    require(InfoHashHex::parse(*hex).has_value(), "a base64 hash read as no key");
    const std::string written = base64_of(to_hash(*hex));
    std::string_view digits = text;
    while (!digits.empty() && digits.back() == '=') {
        digits.remove_suffix(1);
    }
    // 20 bytes take 27 digits; the last one also carries two bits that no byte has, so only the
    // 26 before it must be the digits the bytes are written with
    require(digits.size() == 27 && digits.substr(0, 26) == std::string_view(written).substr(0, 26),
            "a base64 hash read as other bytes than it holds");
    require(velmora::lifecycle::base64_hash_to_hex(written) == hex,
            "a base64 hash written back out reads as another key");
}

// The bytes of the text, as a hash, written in either form reads back to itself.
void check_written(std::string_view text) {
    std::array<char, lt::sha1_hash::size()> bytes{};
    text.copy(bytes.data(), bytes.size());
    const lt::sha1_hash hash(bytes.data());
    const std::string hex = hash_to_hex(hash);
    assertion_reports = 0;
    require(to_hash(hex) == hash && assertion_reports == 0, "written hex reads as other bytes");
    const std::string base64 = base64_of(hash);
    require(velmora::lifecycle::base64_hash_to_hex(base64) == hex,
            "written base64 reads as another key");
    require(velmora::lifecycle::base64_hash_to_hex(
                std::string_view(base64).substr(0, base64.size() - 1)) == hex,
            "written base64 without its padding reads as another key");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool reporter_set = [] {
        velmora::engine::set_assertion_reporter(
            [](std::string_view, std::string_view, std::string_view, int) { ++assertion_reports; });
        return true;
    }();
    (void)reporter_set;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_magnet(text);
    check_hex(text);
    check_base64(text);
    check_written(text);
    return 0;
}
