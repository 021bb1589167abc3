// The checks every request to the page server passes: origin, host, token and archive paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::platform {

inline constexpr std::string_view kTokenCookie = "velmora_token";

// A fresh secret of 256 bits as 64 lowercase hex digits; nullopt when the system has no
// random source to give.
std::optional<std::string> make_page_token();

// Compares in time that depends only on the lengths, so a guess reveals nothing of the token.
bool tokens_equal(std::string_view given, std::string_view expected);

// "127.0.0.1:<port>" or "localhost:<port>", exactly: anything else may be a rebound name.
bool is_allowed_host(std::string_view host, std::uint16_t port);
// "http://127.0.0.1:<port>" or "http://localhost:<port>", exactly.
bool is_allowed_origin(std::string_view origin, std::uint16_t port);

// Decodes %XX escapes; nullopt for a malformed escape. '+' stays '+'.
std::optional<std::string> percent_decode(std::string_view text);
// The decoded value of `key` in a query ("a=1&b=2"); nullopt when absent or malformed.
std::optional<std::string> query_value(std::string_view query, std::string_view key);
// The value of the cookie `name` in one Cookie header ("a=1; b=2").
std::optional<std::string_view> cookie_value(std::string_view header, std::string_view name);

// The archive entry a request path below "/app/" names, decoded; nullopt for anything that
// could leave the archive or be read two ways: "..", "\", NUL, "%", empty or dot segments.
std::optional<std::string> archive_entry_path(std::string_view encoded);

// The Content-Type for an archive entry, by extension; "application/octet-stream" otherwise.
std::string_view content_type_for(std::string_view path);

}  // namespace velmora::platform
