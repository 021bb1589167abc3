// The error families and text ids the pages' localised error table is laid out by.
#include "velmora/engine/error_translation.h"

#include <algorithm>
#include <array>
#include <utility>

#include <boost/asio/ssl/error.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/i2p_stream.hpp>
#include <libtorrent/socks5_stream.hpp>
#include <libtorrent/upnp.hpp>

namespace velmora::engine {
namespace {

constexpr std::int32_t kUnknownError = 193;
// No error at all shares its text with HTTP 100: both read as "no problem" on the pages.
constexpr std::int32_t kNoError = 435;

enum Kind : std::int32_t {
    kEngine = 0,
    kHttp = 1,
    kBencoding = 2,
    kI2p = 3,
    kSocks5 = 4,
    kUpnp = 5,
    kSsl = 6,
};

// The pages number the engine's errors from 485 on, in the engine's own order, and keep a
// separate entry for the random number generator failure, which closed the engine's list
// when the table was laid out.
constexpr int kLastNumberedEngineError = 179;
constexpr int kEngineEntropyError = 180;
constexpr std::int32_t kEngineTextBase = 484;
constexpr std::int32_t kEngineEntropyText = 881;

using CodeToText = std::pair<int, std::int32_t>;

constexpr std::array<CodeToText, 17> kHttpTexts{{
    {100, 435},
    {200, 406},
    {201, 436},
    {202, 437},
    {204, 438},
    {300, 439},
    {301, 440},
    {302, 441},
    {304, 442},
    {400, 443},
    {401, 444},
    {403, 445},
    {404, 446},
    {500, 447},
    {501, 448},
    {502, 449},
    {503, 450},
}};

constexpr std::array<CodeToText, 10> kUpnpTexts{{
    {402, 475},
    {501, 476},
    {714, 477},
    {715, 478},
    {716, 479},
    {718, 480},
    {724, 481},
    {725, 482},
    {726, 483},
    {727, 484},
}};

template <std::size_t N>
std::int32_t text_of_code(const std::array<CodeToText, N>& table, int value) {
    const auto* found = std::find_if(table.begin(), table.end(), [value](const CodeToText& entry) {
        return entry.first == value;
    });
    return found == table.end() ? kUnknownError : found->second;
}

// A family numbered 1..count whose texts follow `base` in the same order.
std::int32_t text_of_range(int value, int count, std::int32_t base) {
    return value >= 1 && value <= count ? base + value : kUnknownError;
}

std::int32_t engine_text(int value) {
    if (value >= 1 && value <= kLastNumberedEngineError) {
        return kEngineTextBase + value;
    }
    return value == kEngineEntropyError ? kEngineEntropyText : kUnknownError;
}

}  // namespace

std::int32_t error_kind(const boost::system::error_category& category) {
    if (category == lt::libtorrent_category()) {
        return kEngine;
    }
    if (category == lt::http_category()) {
        return kHttp;
    }
    if (category == lt::bdecode_category()) {
        return kBencoding;
    }
#if TORRENT_USE_I2P
    if (category == lt::i2p_category()) {
        return kI2p;
    }
#endif
    if (category == lt::socks_category()) {
        return kSocks5;
    }
    if (category == lt::upnp_category()) {
        return kUpnp;
    }
    if (category == boost::asio::error::get_ssl_category()) {
        return kSsl;
    }
    return -1;
}

std::int32_t ui_text_id(int value, std::int32_t kind) {
    if (value == 0) {
        return kNoError;
    }
    switch (kind) {
        case kEngine:
            return engine_text(value);
        case kHttp:
            return text_of_code(kHttpTexts, value);
        case kBencoding:
            return text_of_range(value, 7, 450);
        case kI2p:
            return text_of_range(value, 8, 457);
        case kSocks5:
            return text_of_range(value, 9, 465);
        case kUpnp:
            return text_of_code(kUpnpTexts, value);
        case kSsl:
            return value;
        default:
            return kUnknownError;
    }
}

ErrorReport translate_error(const lt::error_code& error) {
    const std::int32_t kind = error_kind(error.category());
    return ErrorReport{error.message(), kind, ui_text_id(error.value(), kind)};
}

}  // namespace velmora::engine
