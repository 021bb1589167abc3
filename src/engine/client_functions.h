// Ready-made texts for the pages: torrent keys, byte counts, speeds, durations and dates.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <libtorrent/sha1_hash.hpp>

namespace velmora::engine {

// Thread: any, for every function below; none of them throws.

// 40 lowercase hexadecimal digits, high nibble of each byte first.
std::string hash_to_hex(const lt::sha1_hash& hash);
// A text that is not 40 lowercase hexadecimal digits yields the bytes decoded before the fault
// (the rest zero) and one assertion report; callers then find no torrent for it.
lt::sha1_hash to_hash(std::string_view hex);

// Receives the engine's assertion reports. Called on the thread that hit the assertion, without
// any lock held.
using AssertionReporter = std::function<void(
    std::string_view expression, std::string_view function, std::string_view file, int line)>;
// An empty reporter restores the default, one line on stderr.
void set_assertion_reporter(AssertionReporter reporter);

// Two uppercase hexadecimal digits per byte, high nibble first.
std::string bytes_to_hex_upper(std::string_view bytes);

// Below 1024 "<n> bytes"; otherwise three significant digits, truncated, in KB, MB, GB, TB, PB
// or EB, with "." as the decimal separator whatever the locale. 0 or less is "0 bytes".
std::string size_text(std::int64_t bytes);
// size_text of the rate; no per-second suffix (the pages add it).
std::string speed_text(std::int32_t bytes_per_s);
// "[<d> day(s) ]HH:MM:SS", the days being the day of the year of a UTC breakdown, so they
// restart after 365. A negative count reads as 00:00:00; a count too large to break down
// gives the empty text.
std::string duration_text(std::int64_t seconds);
// "YYYY-MM-DD HH:MM:SS" in the local time zone; empty for 0 or less.
std::string local_time_text(std::int64_t seconds_since_1970);
// "YYYY-MM-DD HH:MM:SS" in UTC; empty for a value too large to break down.
std::string utc_time_text(std::int64_t seconds_since_1970);

}  // namespace velmora::engine
