// The catalogue search worker and its matchers.
#include "velmora/services/catalogue_search.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>
#include <utility>

#include <string.h>  // memmem

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/engine/client_functions.h"

namespace velmora::services {
namespace {

namespace ev = bridge::event;
using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;

constexpr std::size_t kDateBytes = 20;
constexpr std::size_t kHashColumn = 21;
constexpr std::size_t kHashBytes = 28;
constexpr char kPlainBit = 0x20;

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::int64_t read_size(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && is_blank(text[at])) {
        ++at;
    }
    const std::size_t sign = at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        ++at;
    }
    // from_chars takes a '-' but no '+', and no second sign after ours
    if (at == text.size() || text[at] < '0' || text[at] > '9') {
        return 0;
    }
    std::int64_t value = 0;
    const char* first = text.data() + (text[sign] == '-' ? sign : at);
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value);
    return error == std::errc() ? value : 0;  // 0 beyond 64 bits
}

// Sets the plain bit on every byte of `from` into `to`, a form the compiler turns into wide
// instructions.
void lower_into(const char* from, std::size_t size, char* to) {
    for (std::size_t i = 0; i < size; ++i) {
        to[i] = static_cast<char>(from[i] | kPlainBit);
    }
}

std::size_t find_bytes(std::string_view haystack, std::string_view needle, std::size_t from) {
    if (from > haystack.size()) {
        return std::string_view::npos;
    }
    const void* found =
        memmem(haystack.data() + from, haystack.size() - from, needle.data(), needle.size());
    return found == nullptr
               ? std::string_view::npos
               : static_cast<std::size_t>(static_cast<const char*>(found) - haystack.data());
}

void refuse_long_terms(std::string_view term) {
    if (term.size() > AdaptiveMatcher::kMaxTermBytes) {
        throw std::regex_error(std::regex_constants::error_complexity);
    }
}

// The words of a term without pattern characters; nullopt for any other term. Blanks are what
// the pattern's "\s" calls blanks.
std::optional<std::vector<std::string>> words_of(std::string_view term) {
    static constexpr std::string_view kPatternCharacters = "^$\\.*+?()[]{}|";
    const std::regex_traits<char> traits;
    const std::string_view blank_class = "s";
    const auto blank = traits.lookup_classname(blank_class.begin(), blank_class.end());
    std::vector<std::string> words(1);
    for (const char c : term) {
        if (kPatternCharacters.find(c) != std::string_view::npos) {
            return std::nullopt;
        }
        if (!traits.isctype(c, blank)) {
            words.back() += c;
        } else if (!words.back().empty()) {
            words.emplace_back();
        }
    }
    if (words.back().empty()) {
        words.pop_back();
    }
    return words;
}

// The pattern compiler reads a count or a group number into a long without a range check, and
// overflows on 19 digits.
void refuse_long_numbers(std::string_view pattern) {
    std::size_t digits = 0;
    for (const char c : pattern) {
        digits = c >= '0' && c <= '9' ? digits + 1 : 0;
        if (digits > AdaptiveMatcher::kMaxPatternDigits) {
            throw std::regex_error(std::regex_constants::error_badbrace);
        }
    }
}

// The pattern that, searched only from the line's start, finds the term anywhere: one pass of
// the automaton instead of one per starting position.
std::regex anywhere_regex(std::string_view term) {
    refuse_long_numbers(term);
    const std::regex blanks(R"(\s+)");
    const std::string pattern = std::regex_replace(std::string(term), blanks, ".*");
    constexpr auto kFlags = std::regex::ECMAScript | std::regex_constants::__polynomial;
    // compiled alone first, so that a term like "a)|(b" cannot pair up with the brackets added
    const std::regex alone(pattern, kFlags);
    return std::regex("[\\s\\S]*(?:" + pattern + ")", kFlags);
}

}  // namespace

std::optional<CatalogueEntry> read_catalogue_line(std::string_view line) {
    const std::size_t last_semicolon = line.rfind(';');
    if (line.size() < kNameColumn || last_semicolon == std::string_view::npos) {
        return std::nullopt;
    }
    // the name is quoted: its closing quote sits just before the last ';'
    const std::size_t name_end = last_semicolon > kNameColumn ? last_semicolon - 1 : kNameColumn;
    return CatalogueEntry{
        .date = std::string(line.substr(0, kDateBytes)),
        .hash = std::string(line.substr(kHashColumn, kHashBytes)),
        .size = read_size(line.substr(last_semicolon + 1)),
        .name = std::string(line.substr(kNameColumn, name_end - kNameColumn)),
    };
}

UiValue search_result(const CatalogueEntry& entry) {
    return search_result(CatalogueEntry(entry));
}

UiValue search_result(CatalogueEntry&& entry) {
    UiMap result;
    result.reserve(5);
    result.emplace_back("date", std::move(entry.date));
    result.emplace_back("hash", std::move(entry.hash));
    result.emplace_back("size", engine::size_text(entry.size));
    result.emplace_back("size_int", static_cast<double>(static_cast<float>(entry.size)));
    result.emplace_back("name", std::move(entry.name));
    return result;
}

std::string plain_term(std::string_view term) {
    std::string lowered(term.size(), '\0');
    lower_into(term.data(), term.size(), lowered.data());
    return lowered;
}

bool plain_line_matches(std::string_view lowered_term, std::string_view line) {
    if (line.size() < kNameColumn + lowered_term.size()) {
        return false;
    }
    const std::size_t last_start = line.size() - lowered_term.size();
    for (std::size_t at = kNameColumn; at <= last_start; ++at) {
        std::size_t i = 0;
        while (i < lowered_term.size() &&
               static_cast<char>(line[at + i] | kPlainBit) == lowered_term[i]) {
            ++i;
        }
        if (i == lowered_term.size()) {
            return true;
        }
    }
    return false;
}

PlainMatcher::PlainMatcher(std::string_view term) : term_(plain_term(term)) {}

bool PlainMatcher::scan(std::string_view lines,
                        const std::function<bool(std::string_view)>& on_match) {
    if (term_.empty()) {
        // every line long enough matches; no needle to look for
        std::size_t start = 0;
        while (start < lines.size()) {
            const std::size_t feed = std::min(lines.find('\n', start), lines.size());
            const std::string_view line = lines.substr(start, feed - start);
            if (line.size() >= kNameColumn && !on_match(line)) {
                return false;
            }
            start = feed + 1;
        }
        return true;
    }
    lowered_.resize(lines.size());
    lower_into(lines.data(), lines.size(), lowered_.data());
    // The needle is looked for across line ends; each find is then placed in its line. The
    // lowered copy has no line feeds left, so the line bounds come from `lines`.
    std::size_t line_start = 0;  // the bounds of the line of the latest find, once there is one
    std::size_t line_end = 0;
    bool line_known = false;
    std::size_t from = kNameColumn;
    while (from + term_.size() <= lines.size()) {
        const std::size_t at =
            find_bytes(std::string_view(lowered_.data(), lowered_.size()), term_, from);
        if (at == std::string_view::npos) {
            return true;
        }
        if (!line_known || at > line_end) {
            const std::size_t previous_feed = lines.rfind('\n', at);
            line_start = previous_feed == std::string_view::npos ? 0 : previous_feed + 1;
            line_end = std::min(lines.find('\n', at), lines.size());
            line_known = true;
        }
        if (at < line_start + kNameColumn) {
            from = line_start + kNameColumn;
            continue;
        }
        // a find that runs past the line end cannot be followed by one that does not
        if (at + term_.size() <= line_end &&
            !on_match(lines.substr(line_start, line_end - line_start))) {
            return false;
        }
        from = line_end + 1 + kNameColumn;
    }
    return true;
}

AdaptiveMatcher::AdaptiveMatcher(std::string_view term) {
    refuse_long_terms(term);
    words_ = words_of(term);
    if (!words_) {
        anywhere_.emplace(anywhere_regex(term));
    }
}

bool AdaptiveMatcher::matches(std::string_view line) const {
    if (words_) {
        return words_in_order(line);
    }
    return std::regex_search(line.data(), line.data() + line.size(), *anywhere_,
                             std::regex_constants::match_continuous);
}

// What ".*" joins cannot reach across: a '\r' (a '\n' never is inside a line). Within a stretch
// free of them, the earliest find of each word leaves the most room for the next.
bool AdaptiveMatcher::words_in_order(std::string_view line) const {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(line.find('\r', start), line.size());
        const std::string_view stretch = line.substr(start, end - start);
        std::size_t at = 0;
        bool all = true;
        for (const std::string& word : *words_) {
            const std::size_t found = find_bytes(stretch, word, at);
            if (found == std::string_view::npos) {
                all = false;
                break;
            }
            at = found + word.size();
        }
        if (all) {
            return true;
        }
        if (end == line.size()) {
            return false;
        }
        start = end + 1;
    }
}

LineBlockReader::LineBlockReader(Source source,
                                 bool skip_first_line,
                                 std::size_t block_bytes,
                                 std::size_t max_line_bytes)
    : source_(std::move(source)),
      block_bytes_(std::max<std::size_t>(block_bytes, 1)),
      max_line_bytes_(std::max<std::size_t>(max_line_bytes, 1)),
      passing_over_(skip_first_line) {}

LineBlockReader::Step LineBlockReader::next(std::string_view& lines) {
    for (;;) {
        if (failed_) {
            return Step::Failed;
        }
        const std::string_view held(buffer_.data() + begin_, end_ - begin_);
        if (passing_over_) {
            const std::size_t feed = held.find('\n');
            if (feed != std::string_view::npos) {
                begin_ += feed + 1;
                passing_over_ = false;
                continue;
            }
            begin_ = end_;
        } else if (const std::size_t feed = held.rfind('\n'); feed != std::string_view::npos) {
            const std::string_view run = held.substr(0, feed + 1);
            // a run shorter than the maximum cannot hold a line longer than it
            const std::size_t shown =
                run.size() <= max_line_bytes_ ? run.size() : short_lines_bytes(run);
            if (shown == 0) {
                begin_ += run.find('\n') + 1;
                continue;
            }
            lines = run.substr(0, shown);
            begin_ += shown;
            return Step::Lines;
        } else if (held.size() > max_line_bytes_) {
            passing_over_ = true;
            begin_ = end_;
            continue;
        } else if (at_end_ && !held.empty()) {
            lines = held;  // the last line, without a line feed
            begin_ = end_;
            return Step::Lines;
        }
        if (at_end_) {
            return Step::End;
        }
        fill();
    }
}

std::size_t LineBlockReader::short_lines_bytes(std::string_view run) const {
    std::size_t start = 0;
    while (start < run.size()) {
        const std::size_t feed = run.find('\n', start);
        if (feed - start > max_line_bytes_) {
            break;
        }
        start = feed + 1;
    }
    return start;
}

// Moves the start of the current line to the buffer's front and reads a block behind it.
void LineBlockReader::fill() {
    const std::size_t held = end_ - begin_;
    if (held > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, held);
    }
    begin_ = 0;
    end_ = held;
    // room for a whole block: the buffer grows with the line, up to the longest one shown
    buffer_.resize(std::max(buffer_.size(), held + block_bytes_));
    const std::ptrdiff_t got = source_(buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0) {
        failed_ = true;
    } else if (got == 0) {
        at_end_ = true;
    } else {
        end_ += static_cast<std::size_t>(got);
    }
}

CatalogueSearch::CatalogueSearch(bridge::UiEventSink& events) : events_(events) {}

CatalogueSearch::~CatalogueSearch() {
    stopping_ = true;
    if (worker_.joinable()) {
        worker_.join();
    }
}

void CatalogueSearch::configure(std::string catalogue_path,
                                std::int32_t result_limit,
                                bool adaptive) {
    catalogue_path_ = std::move(catalogue_path);
    result_limit_ = result_limit;
    adaptive_ = adaptive;
}

bool CatalogueSearch::start(std::string term) {
    if (searching_.exchange(true)) {
        return false;
    }
    // the previous search cleared the flag as its last step
    if (worker_.joinable()) {
        worker_.join();
    }
    try {
        worker_ = std::thread(
            [this, path = catalogue_path_, term = std::move(term)] { run(path, term); });
    } catch (const std::system_error& error) {
        std::cerr << "catalogue search: no thread: " << error.what() << '\n';
        searching_ = false;
        return false;
    }
    return true;
}

bool CatalogueSearch::searching() const {
    return searching_;
}

void CatalogueSearch::run(const std::string& path, const std::string& term) {
    try {
        search_file(path, term);
    } catch (const std::exception& error) {
        // the worker must never take the client down
        std::cerr << "catalogue search failed: " << error.what() << '\n';
    }
    searching_ = false;
}

void CatalogueSearch::search_file(const std::string& path, const std::string& term) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        status(kNotFoundText);
        return;
    }
    // a folder opens like a file and fails only on its first read
    if (std::filesystem::is_directory(path, error)) {
        status(kUnreadableText);
        return;
    }
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"),
                                                                  &std::fclose);
    if (file == nullptr) {
        status(kUnreadableText);
        return;
    }
    status(kSearchingText);
    LineBlockReader reader(
        [stream = file.get()](char* into, std::size_t room) -> std::ptrdiff_t {
            const std::size_t got = std::fread(into, 1, room, stream);
            return got == 0 && std::ferror(stream) != 0 ? -1 : static_cast<std::ptrdiff_t>(got);
        },
        true);
    if (std::optional<UiArray> results = collect(reader, term)) {
        events_.ui_call(ev::kAddSearchResults, std::move(*results));
    } else if (!stopping_) {
        status(kUnreadableText);
    }
}

std::optional<UiArray> CatalogueSearch::collect(LineBlockReader& reader, const std::string& term) {
    UiArray results;
    const auto take = [&](std::string_view line) {
        if (std::optional<CatalogueEntry> entry = read_catalogue_line(line)) {
            results.push_back(search_result(std::move(*entry)));
        }
        return !reached_limit(results.size());
    };
    std::optional<AdaptiveMatcher> adaptive;
    std::optional<PlainMatcher> plain;
    if (adaptive_) {
        try {
            adaptive.emplace(term);
        } catch (const std::regex_error&) {
            return results;  // nothing can match a term that does not compile
        }
    } else {
        plain.emplace(term);
    }
    std::string_view lines;
    for (;;) {
        const LineBlockReader::Step step = reader.next(lines);
        if (step != LineBlockReader::Step::Lines) {
            return step == LineBlockReader::Step::End ? std::optional(std::move(results))
                                                      : std::nullopt;
        }
        bool more = true;
        if (plain) {
            more = plain->scan(lines, take);
        } else {
            std::size_t start = 0;
            while (more && start < lines.size() && !stopping_) {
                const std::size_t feed = std::min(lines.find('\n', start), lines.size());
                const std::string_view line = lines.substr(start, feed - start);
                more = !adaptive->matches(line) || take(line);
                start = feed + 1;
            }
        }
        if (stopping_) {
            return std::nullopt;
        }
        if (!more) {
            return results;
        }
    }
}

bool CatalogueSearch::reached_limit(std::size_t results) const {
    const std::int32_t limit = result_limit_;
    return limit > 0 && results >= static_cast<std::size_t>(limit);
}

void CatalogueSearch::status(std::int32_t text) {
    events_.ui_call(ev::kSetSearchStatusbar, text);
}

}  // namespace velmora::services
