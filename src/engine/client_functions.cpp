// Display texts shared by the alert handlers, the status builders and the commands.
#include "velmora/engine/client_functions.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <utility>

namespace velmora::engine {
namespace {

constexpr std::size_t kHashBytes = 20;

std::mutex& reporter_mutex() {
    static std::mutex mutex;
    return mutex;
}

AssertionReporter& installed_reporter() {
    static AssertionReporter reporter;
    return reporter;
}

void report_assertion(std::string_view expression,
                      std::string_view function,
                      std::string_view file,
                      int line) {
    AssertionReporter reporter;
    {
        std::lock_guard lock(reporter_mutex());
        reporter = installed_reporter();
    }
    if (reporter) {
        reporter(expression, function, file, line);
        return;
    }
    std::cerr << "assertion failed: " << expression << " in " << function << " (" << file << ':'
              << line << ")\n";
}

std::string hex_text(std::string_view bytes, const char (&digits)[17]) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

// Keys are lowercase, so an uppercase digit is as malformed as any other character.
int lower_hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string two_digits(int value) {
    std::array<char, 8> out{};
    std::snprintf(out.data(), out.size(), "%02d", value);
    return out.data();
}

// The empty text when the breakdown fails (a year beyond what std::tm holds).
std::string date_time_text(std::int64_t seconds_since_1970, bool is_local) {
    const auto t = static_cast<std::time_t>(seconds_since_1970);
    std::tm parts{};
    if ((is_local ? localtime_r(&t, &parts) : gmtime_r(&t, &parts)) == nullptr) {
        return {};
    }
    std::array<char, 64> out{};
    if (std::strftime(out.data(), out.size(), "%Y-%m-%d %H:%M:%S", &parts) == 0) {
        return {};
    }
    return out.data();
}

}  // namespace

std::string hash_to_hex(const lt::sha1_hash& hash) {
    return hex_text(std::string_view(hash.data(), kHashBytes), "0123456789abcdef");
}

lt::sha1_hash to_hash(std::string_view hex) {
    std::array<char, kHashBytes> bytes{};
    bool is_well_formed = hex.size() == 2 * kHashBytes;
    const std::size_t pairs = std::min(hex.size() / 2, kHashBytes);
    for (std::size_t i = 0; i < pairs; ++i) {
        const int high = lower_hex_value(hex[2 * i]);
        const int low = lower_hex_value(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            is_well_formed = false;
            break;
        }
        bytes[i] = static_cast<char>((high << 4) | low);
    }
    if (!is_well_formed) {
        // A fixed location rather than __LINE__: this is the text the engine's assertion log
        // names for this check, and log readers search for it across builds.
        report_assertion("!hash.fail()", "to_hash", "client_functions", 551);
    }
    return lt::sha1_hash(bytes.data());
}

void set_assertion_reporter(AssertionReporter reporter) {
    std::lock_guard lock(reporter_mutex());
    installed_reporter() = std::move(reporter);
}

std::string bytes_to_hex_upper(std::string_view bytes) {
    return hex_text(bytes, "0123456789ABCDEF");
}

std::string size_text(std::int64_t bytes) {
    if (bytes <= 0) {
        return "0 bytes";
    }
    if (bytes < 1024) {
        return std::to_string(bytes) + " bytes";
    }
    constexpr std::array<const char*, 6> kUnits{"KB", "MB", "GB", "TB", "PB", "EB"};
    const auto value = static_cast<std::uint64_t>(bytes);
    // the largest power of 1024 that keeps the value at 1 or more
    unsigned shift = 10;
    std::size_t unit = 0;
    while (unit + 1 < kUnits.size() && (value >> (shift + 10)) != 0) {
        shift += 10;
        ++unit;
    }
    const std::uint64_t whole = value >> shift;
    const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
    std::uint64_t rest = value & mask;
    // 1000 to 1023 of a unit keep their four digits: the next unit would show fewer than three
    const int decimals = whole < 10 ? 2 : (whole < 100 ? 1 : 0);
    std::string text = std::to_string(whole);
    if (decimals > 0) {
        text += '.';
    }
    for (int i = 0; i < decimals; ++i) {
        // long division by a power of two: rest < 2^60, so ten times it still fits, and each
        // digit comes out exact, which makes the truncation exact
        rest *= 10;
        text += static_cast<char>('0' + (rest >> shift));
        rest &= mask;
    }
    return text + ' ' + kUnits[unit];
}

std::string speed_text(std::int32_t bytes_per_s) {
    return bytes_per_s < 1 ? "0 bytes" : size_text(bytes_per_s);
}

std::string duration_text(std::int64_t seconds) {
    // A negative count comes from an announce that is already overdue: it is due now, so it
    // reads as zero rather than as a breakdown of a date before 1970.
    const auto t = static_cast<std::time_t>(std::max<std::int64_t>(seconds, 0));
    std::tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) {
        return {};
    }
    std::string out;
    if (parts.tm_yday > 0) {
        out = std::to_string(parts.tm_yday) + (parts.tm_yday == 1 ? " day " : " days ");
    }
    return out + two_digits(parts.tm_hour) + ':' + two_digits(parts.tm_min) + ':' +
           two_digits(parts.tm_sec);
}

std::string local_time_text(std::int64_t seconds_since_1970) {
    if (seconds_since_1970 <= 0) {
        return {};
    }
    return date_time_text(seconds_since_1970, true);
}

std::string utc_time_text(std::int64_t seconds_since_1970) {
    return date_time_text(seconds_since_1970, false);
}

}  // namespace velmora::engine
