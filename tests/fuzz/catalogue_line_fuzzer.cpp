// The catalogue reader and matchers on arbitrary bytes, each checked against a slow and simple
// form of the same rule. The input's first line is the search term, the rest the catalogue.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/services/catalogue_search.h"

namespace {

using namespace velmora::services;

// Lines compared with the pattern engine's own search, which tries every starting position.
constexpr std::size_t kCheckedLineBytes = 160;
constexpr std::size_t kCheckedLines = 24;
constexpr std::size_t kCheckedTermBytes = 48;

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "catalogue fuzzer: %s\n", what);
        std::abort();
    }
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t feed = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, feed - start));
        start = feed + 1;
    }
    return lines;
}

std::int64_t size_by_strtoll(std::string_view text) {
    const std::string copy(text);  // ends at an inner NUL, like the parse it checks
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), nullptr, 10);
    return errno == ERANGE ? 0 : static_cast<std::int64_t>(value);
}

void check_line_items(std::string_view line) {
    const std::optional<CatalogueEntry> entry = read_catalogue_line(line);
    const std::size_t last_semicolon = line.rfind(';');
    const bool readable = line.size() >= kNameColumn && last_semicolon != std::string_view::npos;
    require(entry.has_value() == readable, "a line read or refused wrongly");
    if (!entry) {
        return;
    }
    require(entry->date == line.substr(0, 20), "date");
    require(entry->hash == line.substr(21, 28), "hash");
    require(entry->size == size_by_strtoll(line.substr(last_semicolon + 1)), "size");
    require(line.substr(kNameColumn).starts_with(entry->name), "name start");
    require(entry->name.empty() || kNameColumn + entry->name.size() + 1 == last_semicolon,
            "name end");
    (void)search_result(*entry);
}

// The lines a reader over `catalogue` must show: no header, none longer than the maximum.
std::vector<std::string_view> expected_lines(std::string_view catalogue, std::size_t max_line) {
    std::vector<std::string_view> lines = split_lines(catalogue);
    if (!lines.empty()) {
        lines.erase(lines.begin());
    }
    std::erase_if(lines, [max_line](std::string_view line) { return line.size() > max_line; });
    return lines;
}

struct ReadThrough {
    std::string shown;  // the runs the reader handed out, one after the other
    std::vector<std::string> plain_found;
};

ReadThrough read_through(std::string_view catalogue,
                         std::size_t block,
                         std::size_t max_line,
                         std::string_view term) {
    std::size_t at = 0;
    LineBlockReader reader(
        [&](char* into, std::size_t room) {
            // pieces of varying size, as a pipe or a slow disk may hand them out
            const std::size_t count = std::min({room, catalogue.size() - at, 1 + at % 13});
            catalogue.copy(into, count, at);
            at += count;
            return static_cast<std::ptrdiff_t>(count);
        },
        true, block, max_line);
    PlainMatcher plain(term);
    ReadThrough result;
    std::string_view run;
    while (reader.next(run) == LineBlockReader::Step::Lines) {
        require(!run.empty(), "an empty run");
        require(result.shown.empty() || result.shown.back() == '\n', "a run after a last line");
        plain.scan(run, [&](std::string_view line) {
            result.plain_found.emplace_back(line);
            return true;
        });
        result.shown += run;
    }
    return result;
}

void check_reader_and_plain(std::string_view term, std::string_view catalogue, std::uint8_t knob) {
    const std::size_t block = 1 + knob % 17;
    const std::size_t max_line = 40 + knob % 64;
    const ReadThrough read = read_through(catalogue, block, max_line, term);
    const std::vector<std::string_view> expected = expected_lines(catalogue, max_line);
    require(split_lines(read.shown) == expected, "the reader's lines");
    const std::string lowered = plain_term(term);
    std::vector<std::string> plain_expected;
    for (const std::string_view line : expected) {
        if (plain_line_matches(lowered, line)) {
            plain_expected.emplace_back(line);
        }
    }
    require(read.plain_found == plain_expected, "plain matches by block and by line differ");
}

void check_adaptive(std::string_view term, const std::vector<std::string_view>& lines) {
    if (term.size() > kCheckedTermBytes) {
        return;
    }
    if (std::regex_search(std::string(term), std::regex("[0-9]{16}"))) {
        // refused before the pattern compiler, whose number reading would overflow
        const bool words_only =
            std::string_view(term).find_first_of("^$\\.*+?()[]{}|") == std::string_view::npos;
        try {
            AdaptiveMatcher matcher(term);
            require(words_only, "a pattern with a long number was taken");
        } catch (const std::regex_error&) {
            require(!words_only, "words with a long number were refused");
        }
        return;
    }
    std::optional<std::regex> reference;
    try {
        const std::string pattern =
            std::regex_replace(std::string(term), std::regex(R"(\s+)"), ".*");
        reference.emplace(pattern, std::regex::ECMAScript | std::regex_constants::__polynomial);
    } catch (const std::regex_error&) {
    }
    std::optional<AdaptiveMatcher> matcher;
    try {
        matcher.emplace(term);
    } catch (const std::regex_error& error) {
        // beyond the reference, only a term whose wider form outgrows the engine is refused
        require(!reference || error.code() == std::regex_constants::error_space,
                "a term the pattern engine takes was refused");
        return;
    }
    require(reference.has_value(), "a term the pattern engine refuses was taken");
    std::size_t checked = 0;
    for (const std::string_view line : lines) {
        if (line.size() > kCheckedLineBytes) {
            continue;
        }
        const bool expected = std::regex_search(line.begin(), line.end(), *reference);
        require(matcher->matches(line) == expected, "adaptive match differs");
        if (++checked == kCheckedLines) {
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check_line_items(input);
    const std::size_t feed = input.find('\n');
    if (feed == std::string_view::npos) {
        return 0;
    }
    const std::string_view term = input.substr(0, feed);
    const std::string_view catalogue = input.substr(feed + 1);
    const std::vector<std::string_view> lines = split_lines(catalogue);
    for (const std::string_view line : lines) {
        check_line_items(line);
    }
    check_reader_and_plain(term, catalogue, static_cast<std::uint8_t>(size));
    check_adaptive(term, lines);
    return 0;
}
