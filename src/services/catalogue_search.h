// Search of the local torrent catalogue: a fixed-column, semicolon-separated text file read on
// a worker thread, its matching rows handed to the search page in one event.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "velmora/bridge/ui_value.h"

namespace velmora::bridge {
class UiEventSink;
}

namespace velmora::services {

// Matching and the name both start here; the columns before it hold the date and the hash.
inline constexpr std::size_t kNameColumn = 51;

struct CatalogueEntry {
    std::string date;
    std::string hash;
    std::int64_t size = 0;
    std::string name;
    bool operator==(const CatalogueEntry&) const = default;
};

// Thread: any, for every function and matcher below.

// The items of one line (without its line feed), taken from the bytes as they are; nullopt when
// the line is shorter than the name column or holds no ';'. The size is the leading decimal
// number after the last ';' (blanks before it and a sign allowed), 0 when there is none or it
// does not fit.
std::optional<CatalogueEntry> read_catalogue_line(std::string_view line);
// The map the search page receives for one row.
bridge::UiValue search_result(const CatalogueEntry& entry);
// The same without copying the texts, for the many rows of one search.
bridge::UiValue search_result(CatalogueEntry&& entry);

// The plain rule compares bytes with bit 0x20 set: ASCII capitals meet their small letters.
std::string plain_term(std::string_view term);
// The plain rule on one line: `lowered_term` (from plain_term) occurs in the line at or after
// the name column.
bool plain_line_matches(std::string_view lowered_term, std::string_view line);

// The plain rule over a run of whole lines at once, so that a search costs about one pass of
// the bytes instead of one call per line.
class PlainMatcher {
public:
    explicit PlainMatcher(std::string_view term);
    // Hands every matching line of `lines` (each ending at '\n', the last one possibly without)
    // to `on_match`, without its line feed and in file order, until `on_match` returns false.
    // False when `on_match` stopped it.
    bool scan(std::string_view lines, const std::function<bool(std::string_view)>& on_match);

private:
    std::string term_;
    std::vector<char> lowered_;
};

// Every run of blanks of the term stands for anything in between, the rest is an ECMAScript
// pattern in which case counts. A term of words alone is looked for word by word; any other
// pattern runs as an automaton, never by backtracking: time grows with the line times the
// pattern and the stack stays flat however long the line is.
class AdaptiveMatcher {
public:
    // Throws std::regex_error when the term does not compile, is longer than kMaxTermBytes,
    // holds a back-reference (which needs backtracking) or, unless it is words alone, a run of
    // more than kMaxPatternDigits digits.
    explicit AdaptiveMatcher(std::string_view term);
    // The pattern is found anywhere in the line.
    bool matches(std::string_view line) const;

    // The pattern compiler recurses once per nesting level.
    static constexpr std::size_t kMaxTermBytes = 1024;
    // Counts and group numbers beyond this many digits overflow the pattern compiler.
    static constexpr std::size_t kMaxPatternDigits = 15;

private:
    bool words_in_order(std::string_view line) const;

    std::optional<std::vector<std::string>> words_;
    std::optional<std::regex> anywhere_;  // when the term is more than words
};

// Streams bytes and hands them out as runs of whole lines, holding at most one block and the
// current line. A line longer than the maximum is passed over unseen, so a file without line
// feeds cannot take the memory.
class LineBlockReader {
public:
    // Fills `into` with up to `room` bytes: the count, 0 at the end, below 0 on a read error.
    using Source = std::function<std::ptrdiff_t(char* into, std::size_t room)>;
    enum class Step { Lines, End, Failed };

    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20U;
    static constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20U;

    // With `skip_first_line` the bytes up to the first line feed never show.
    LineBlockReader(Source source,
                    bool skip_first_line,
                    std::size_t block_bytes = kBlockBytes,
                    std::size_t max_line_bytes = kMaxLineBytes);
    // Lines: `lines` holds one or more lines, each ending at '\n' except possibly the file's
    // last; valid until the next call.
    Step next(std::string_view& lines);

private:
    void fill();
    // The bytes of the whole lines at the start of `run` that are no longer than the maximum.
    std::size_t short_lines_bytes(std::string_view run) const;

    Source source_;
    std::size_t block_bytes_;
    std::size_t max_line_bytes_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool passing_over_ = false;  // inside a line that is not shown
    bool at_end_ = false;
    bool failed_ = false;
};

// Thread: configure(), start() and the destructor on the gui thread; the search on its own
// thread; searching() from any thread.
class CatalogueSearch {
public:
    // UI texts of the status bar.
    static constexpr std::int32_t kNotFoundText = 1206;
    static constexpr std::int32_t kUnreadableText = 1207;
    static constexpr std::int32_t kSearchingText = 1209;

    explicit CatalogueSearch(bridge::UiEventSink& events);
    // Stops a running search at its next block of lines and waits for it, without its result
    // event. A search may wait for the gui thread inside an event: destroy the object only once
    // the sink answers other threads without it.
    ~CatalogueSearch();
    CatalogueSearch(const CatalogueSearch&) = delete;
    CatalogueSearch& operator=(const CatalogueSearch&) = delete;

    // A limit of 0 or less means none. A running search keeps its file but sees the new limit
    // and, if it has not prepared its term yet, the new mode.
    void configure(std::string catalogue_path, std::int32_t result_limit, bool adaptive);
    // False, and nothing else, while a search runs.
    bool start(std::string term);
    bool searching() const;

private:
    void run(const std::string& path, const std::string& term);
    void search_file(const std::string& path, const std::string& term);
    // The results, or nullopt when the file failed to read or the search was stopped.
    std::optional<bridge::UiArray> collect(LineBlockReader& reader, const std::string& term);
    bool reached_limit(std::size_t results) const;
    void status(std::int32_t text);

    bridge::UiEventSink& events_;
    std::string catalogue_path_;
    std::atomic<std::int32_t> result_limit_{0};
    std::atomic<bool> adaptive_{false};
    std::atomic<bool> searching_{false};
    std::atomic<bool> stopping_{false};
    std::thread worker_;
};

}  // namespace velmora::services
