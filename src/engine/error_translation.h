// Engine errors as the pages show them: the engine's own text plus a key into the pages' localised
// text table, so a translated page never has to parse an English message.
#pragma once

#include <cstdint>
#include <string>

#include <boost/system/error_code.hpp>
#include <libtorrent/error_code.hpp>

namespace velmora::engine {

// Thread: any, for every function below; none of them throws.

// The family of an error, as the pages number them: 0 the engine's own errors, 1 HTTP status
// codes, 2 bencoding, 3 I2P, 4 SOCKS5, 5 UPnP, 6 SSL; -1 any other category.
std::int32_t error_kind(const boost::system::error_category& category);

// The pages' text id for an error value of that kind; 193 ("Unknown Error") when the table has
// no entry for it. An SSL error (kind 6) passes its value through unchanged.
std::int32_t ui_text_id(int value, std::int32_t kind);

struct ErrorReport {
    std::string message;  // the category's own text for the value
    std::int32_t kind;
    std::int32_t text_id;
};

ErrorReport translate_error(const lt::error_code& error);

}  // namespace velmora::engine
