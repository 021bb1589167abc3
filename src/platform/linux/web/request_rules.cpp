// Origin, host and token checks, and the mapping of request paths to archive entries.
#include "velmora/platform/linux/web/request_rules.h"

#include <array>
#include <cerrno>
#include <cstddef>

#include <sys/random.h>

namespace velmora::platform {
namespace {

constexpr std::size_t kTokenBytes = 32;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool equals_one_of(std::string_view value,
                   std::string_view prefix_a,
                   std::string_view prefix_b,
                   std::uint16_t port) {
    const std::string suffix = ":" + std::to_string(port);
    for (const std::string_view prefix : {prefix_a, prefix_b}) {
        if (value.size() == prefix.size() + suffix.size() && value.starts_with(prefix) &&
            value.ends_with(suffix)) {
            return true;
        }
    }
    return false;
}

std::string_view trim_spaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool is_acceptable_segment(std::string_view segment) {
    return !segment.empty() && segment != "." && segment.find("..") == std::string_view::npos;
}

}  // namespace

std::optional<std::string> make_page_token() {
    std::array<unsigned char, kTokenBytes> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        filled += static_cast<std::size_t>(got);
    }
    static constexpr std::string_view kDigits = "0123456789abcdef";
    std::string token;
    token.reserve(bytes.size() * 2);
    for (const unsigned char b : bytes) {
        token.push_back(kDigits[b >> 4U]);
        token.push_back(kDigits[b & 0x0FU]);
    }
    return token;
}

bool tokens_equal(std::string_view given, std::string_view expected) {
    if (given.size() != expected.size()) {
        return false;
    }
    unsigned difference = 0;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |=
            static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(expected[i]);
    }
    return difference == 0;
}

bool is_allowed_host(std::string_view host, std::uint16_t port) {
    return equals_one_of(host, "127.0.0.1", "localhost", port);
}

bool is_allowed_origin(std::string_view origin, std::uint16_t port) {
    return equals_one_of(origin, "http://127.0.0.1", "http://localhost", port);
}

std::optional<std::string> percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hex_digit(text[i + 1]);
        const int low = hex_digit(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::optional<std::string> query_value(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) == key) {
            return eq == std::string_view::npos ? std::string()
                                                : percent_decode(pair.substr(eq + 1));
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> cookie_value(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const std::size_t semi = header.find(';');
        const std::string_view item = trim_spaces(header.substr(0, semi));
        header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
        const std::size_t eq = item.find('=');
        if (eq != std::string_view::npos && trim_spaces(item.substr(0, eq)) == name) {
            return trim_spaces(item.substr(eq + 1));
        }
    }
    return std::nullopt;
}

std::optional<std::string> archive_entry_path(std::string_view encoded) {
    auto decoded = percent_decode(encoded);
    if (!decoded) {
        return std::nullopt;
    }
    for (const char c : *decoded) {
        // '%' left after decoding means a double escape: refused rather than decoded twice
        if (c == '\\' || c == '%' || static_cast<unsigned char>(c) < 0x20) {
            return std::nullopt;
        }
    }
    std::string_view rest = *decoded;
    while (true) {
        const std::size_t slash = rest.find('/');
        if (!is_acceptable_segment(rest.substr(0, slash))) {
            return std::nullopt;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(slash + 1);
    }
    return decoded;
}

std::string_view content_type_for(std::string_view path) {
    struct Type {
        std::string_view extension;
        std::string_view content_type;
    };
    static constexpr std::array<Type, 11> kTypes{{
        {".htm", "text/html; charset=utf-8"},
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
        {".woff2", "font/woff2"},
        {".json", "application/json"},
        {".txt", "text/plain; charset=utf-8"},
    }};
    for (const auto& type : kTypes) {
        if (path.ends_with(type.extension)) {
            return type.content_type;
        }
    }
    return "application/octet-stream";
}

}  // namespace velmora::platform
