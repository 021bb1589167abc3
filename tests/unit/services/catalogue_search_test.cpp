// The catalogue search on small catalogue files in a temporary folder.
#include "velmora/services/catalogue_search.h"

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_fixtures.h"
#include "support/temp_dir.h"

namespace velmora::services {
namespace {

namespace fs = std::filesystem;
using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;

constexpr std::string_view kDate = "2021-06-01T12:00:00Z";
constexpr std::string_view kHash = "AQIDBAUGBwgJCgsMDQ4PEBESExQ=";
constexpr std::string_view kHeader = "date;hash;name;size";

// date, ';', hash, ';', the quoted name from the name column on, ';', size
std::string row(std::string_view name,
                std::string_view size = "1048576",
                std::string_view hash = kHash) {
    std::string line;
    line.append(kDate).append(";").append(hash).append(";\"").append(name);
    return line.append("\";").append(size);
}

std::string catalogue(const std::vector<std::string>& lines, std::string_view feed = "\n") {
    std::string text;
    for (const std::string& line : lines) {
        text.append(line).append(feed);
    }
    return text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t feed = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, feed - start));
        start = feed + 1;
    }
    return lines;
}

TEST(ReadCatalogueLine, TakesTheColumnsAndPutsUpWithOddLines) {
    const std::string fifty(50, 'x');
    const struct {
        const char* what;
        std::string line;
        std::optional<CatalogueEntry> entry;
    } cases[] = {
        {"a row", row("Some Name"),
         CatalogueEntry{std::string(kDate), std::string(kHash), 1048576, "Some Name"}},
        {"a line feed left over from CRLF", row("Name", "2048\r"),
         CatalogueEntry{std::string(kDate), std::string(kHash), 2048, "Name"}},
        {"a name with semicolons ends at the last one", row("a;b;c", "7"),
         CatalogueEntry{std::string(kDate), std::string(kHash), 7, "a;b;c"}},
        {"too short", fifty.substr(0, 20) + ";" + fifty.substr(0, 29), std::nullopt},
        {"no semicolon", std::string(200, 'x'), std::nullopt},
        {"empty", "", std::nullopt},
        {"the last ';' before the name column", std::string(30, 'x') + ";" + fifty + "12",
         CatalogueEntry{std::string(30, 'x').substr(0, 20), "xxxxxxxxx;" + fifty.substr(0, 18), 0,
                        ""}},
        {"the last ';' just after the name column", fifty + "ab;9",
         CatalogueEntry{fifty.substr(0, 20), fifty.substr(0, 28), 9, ""}},
        {"exactly the name column long", fifty + ";",
         CatalogueEntry{fifty.substr(0, 20), fifty.substr(0, 28), 0, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(read_catalogue_line(c.line), c.entry);
    }
}

TEST(ReadCatalogueLine, ReadsTheSizeAsALeadingDecimalNumber) {
    const struct {
        const char* size;
        std::int64_t value;
    } cases[] = {
        {"123", 123},
        {" 42", 42},
        {"+7", 7},
        {"-5", -5},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"+-7", 0},
        {"0x10", 0},
        {"99999999999999999999", 0},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto entry = read_catalogue_line(row("n", c.size));
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->size, c.value);
    }
}

TEST(SearchResult, GivesTheKeysInOrderWithSizeTextAndSinglePrecision) {
    const auto result = [](std::int64_t size) {
        return search_result(CatalogueEntry{"d", "h", size, "n"});
    };
    EXPECT_EQ(result(1536), UiValue(UiMap{{"date", "d"},
                                          {"hash", "h"},
                                          {"size", "1.50 KB"},
                                          {"size_int", 1536.0},
                                          {"name", "n"}}));
    EXPECT_EQ(result(0).at_key("size"), UiValue("0 bytes"));
    EXPECT_EQ(result(-3).at_key("size"), UiValue("0 bytes"));
    // single precision drops the lowest bit of 2^24 + 1
    EXPECT_EQ(result(16777217).at_key("size_int"), UiValue(16777216.0));
}

TEST(PlainMatcher, FindsTheTermInTheNameColumnOfEachLine) {
    constexpr std::string_view kEarly = "ubuntuAAAAAAAAAAAAAAAAAAAAAA";
    const struct {
        const char* what;
        const char* term;
        std::vector<std::string> lines;
        std::vector<std::size_t> matching;
    } cases[] = {
        {"capitals meet small letters both ways", "uBuNtU", {row("Ubuntu"), row("UBUNTU")}, {0, 1}},
        {"only in the first columns", "ubuntu", {row("x"), row("plain", "1", kEarly)}, {}},
        {"in the first columns and the name", "ubuntu", {row("ubuntu", "1", kEarly)}, {0}},
        {"across a line end", "size\n\"x", {row("n", "size"), "\"x" + row("n")}, {}},
        {"a line feed of the term is no line end", "\n", {row("n") + "*"}, {0}},
        {"the size column counts", "4857", {row("n")}, {0}},
        {"several per line, several lines", "a", {row("aaa"), row("b"), row("a")}, {0, 2}},
        {"empty term: every line long enough",
         "",
         {row(""), "short", std::string(51, ';')},
         {0, 2}},
        {"a term too long for any line", "ubuntu-22.04-desktop-amd64.iso", {row("ubuntu")}, {}},
        {"at the very end of the last line", "048576", {row("n")}, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> expected;
        for (const std::size_t index : c.matching) {
            expected.push_back(c.lines[index]);
        }
        for (const std::string_view feed : {"\n", ""}) {
            std::string text = catalogue(c.lines);
            if (feed.empty()) {
                text.pop_back();  // the last line without its line feed
            }
            std::vector<std::string> found;
            PlainMatcher matcher(c.term);
            EXPECT_TRUE(matcher.scan(text, [&](std::string_view line) {
                found.emplace_back(line);
                return true;
            }));
            EXPECT_EQ(found, expected);
            std::vector<std::string> by_line;
            for (const std::string& line : lines_of(text)) {
                if (plain_line_matches(plain_term(c.term), line)) {
                    by_line.push_back(line);
                }
            }
            EXPECT_EQ(by_line, expected);
        }
    }
}

TEST(PlainMatcher, StopsWhenTheReceiverSaysSo) {
    PlainMatcher matcher("a");
    int seen = 0;
    EXPECT_FALSE(matcher.scan(catalogue({row("a"), row("a"), row("a")}),
                              [&](std::string_view) { return ++seen < 2; }));
    EXPECT_EQ(seen, 2);
}

TEST(AdaptiveMatcher, BlanksStandForAnythingAndTheRestIsAPattern) {
    const struct {
        const char* term;
        const char* line;
        bool matches;
    } cases[] = {
        {"ubuntu iso", "x;ubuntu-22.04-desktop.iso;1", true},
        {"ubuntu \t  iso", "ubuntuiso", true},
        {"ubuntu iso", "iso ubuntu", false},
        {"ubuntu iso", "Ubuntu.iso", false},
        {"ab ab", "abab", true},
        {"ab ab", "aba", false},
        {"ubuntu iso", "ubuntu\r.iso", false},
        {"ubuntu iso", "ubuntu\rubuntu iso", true},
        {"ubuntu is[o]", "x;ubuntu-22.04-desktop.iso;1", true},
        {"ubuntu is[o]", "ubuntu\r.iso", false},
        {"ubuntu is[o]", "ubuntu\rubuntu iso", true},
        {"^x;", "x;ubuntu", true},
        {"^ubuntu", "x;ubuntu", false},
        {"1$", "x;ubuntu;1", true},
        {"1$", "x;ubuntu;1\r", false},
        {"\\bbuntu", "ubuntu", false},
        {"[0-9]{2}\\.04", "ubuntu-22.04", true},
        {"ubuntu", "", false},
        {"", "", true},
        {" ", "", true},
        {"id 12345678901234567890", "x id=12345678901234567890", true},
        {"id=[0-9]{3} 123456789012345", "x id=123 123456789012345", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.term) + " / " + c.line);
        EXPECT_EQ(AdaptiveMatcher(c.term).matches(c.line), c.matches);
    }
}

TEST(AdaptiveMatcher, RefusesTermsThatDoNotCompileOrNeedBacktracking) {
    for (const std::string& term :
         {std::string("a)|(b"), std::string("(ubuntu"), std::string("*x"), std::string("[a-"),
          std::string("(a)\\1"), std::string(AdaptiveMatcher::kMaxTermBytes + 1, 'a'),
          // numbers the pattern compiler would overflow on
          std::string("a{1,1234567890123456}"), std::string("\\12345678901234567890")}) {
        SCOPED_TRACE(term.substr(0, 20));
        EXPECT_THROW(AdaptiveMatcher{term}, std::regex_error);
    }
}

TEST(AdaptiveMatcher, AHugeLineNeitherOverflowsTheStackNorTakesQuadraticTime) {
    // backtracking needs a frame per byte here, and tries every starting position
    const std::string line(std::size_t{128} << 10U, 'a');
    EXPECT_FALSE(AdaptiveMatcher("a [b]").matches(line));
    EXPECT_TRUE(AdaptiveMatcher("a (a*)*$").matches(line));
}

// A source that hands out `text` in pieces of at most `piece` bytes, then fails if asked to.
LineBlockReader::Source pieces(std::string text, std::size_t piece, bool fail_at_end = false) {
    auto at = std::make_shared<std::size_t>(0);
    return [text = std::move(text), piece, fail_at_end, at](char* into, std::size_t room) {
        const std::size_t count = std::min({piece, room, text.size() - *at});
        if (count == 0 && fail_at_end) {
            return std::ptrdiff_t{-1};
        }
        std::copy_n(text.data() + *at, count, into);
        *at += count;
        return static_cast<std::ptrdiff_t>(count);
    };
}

TEST(LineBlockReader, HandsOutWholeLinesAndPassesOverTheHeaderAndOverlongLines) {
    const struct {
        const char* what;
        std::string text;
        bool skip_first;
        std::vector<std::string> lines;
    } cases[] = {
        {"lines across blocks", "one\ntwo\nthree\n", false, {"one", "two", "three"}},
        {"the header", "head\none\n", true, {"one"}},
        {"only a header", "head\n", true, {}},
        {"a header without line feed", "head", true, {}},
        {"a long header", std::string(40, 'h') + "\none\n", true, {"one"}},
        {"the last line without line feed", "one\ntwo", false, {"one", "two"}},
        {"empty lines", "\n\none\n", false, {"", "", "one"}},
        {"a line at the maximum",
         std::string(16, 'x') + "\none\n",
         false,
         {std::string(16, 'x'), "one"}},
        {"an overlong line", "one\n" + std::string(17, 'x') + "\ntwo\n", false, {"one", "two"}},
        {"an overlong last line", "one\n" + std::string(40, 'x'), false, {"one"}},
        {"nothing", "", false, {}},
    };
    for (const auto& c : cases) {
        for (const std::size_t block : {std::size_t{1}, std::size_t{3}, std::size_t{64}}) {
            for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{100}}) {
                SCOPED_TRACE(std::string(c.what) + ", block " + std::to_string(block) + ", piece " +
                             std::to_string(piece));
                LineBlockReader reader(pieces(c.text, piece), c.skip_first, block, 16);
                std::vector<std::string> got;
                std::string_view lines;
                LineBlockReader::Step step;
                while ((step = reader.next(lines)) == LineBlockReader::Step::Lines) {
                    ASSERT_FALSE(lines.empty());
                    const std::vector<std::string> run = lines_of(std::string(lines));
                    got.insert(got.end(), run.begin(), run.end());
                }
                EXPECT_EQ(step, LineBlockReader::Step::End);
                EXPECT_EQ(got, c.lines);
            }
        }
    }
}

TEST(LineBlockReader, AReadErrorEndsTheStream) {
    LineBlockReader reader(pieces("one\ntwo", 100, true), false, 64, 16);
    std::string_view lines;
    ASSERT_EQ(reader.next(lines), LineBlockReader::Step::Lines);
    EXPECT_EQ(lines, "one\n");
    EXPECT_EQ(reader.next(lines), LineBlockReader::Step::Failed);
    EXPECT_EQ(reader.next(lines), LineBlockReader::Step::Failed);
}

class CatalogueSearchTest : public ::testing::Test {
protected:
    fs::path write(const std::string& text) {
        const fs::path path = dir / ("catalogue" + std::to_string(++files) + ".csv");
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // The status texts raised and the result event (nullopt when none came).
    struct Outcome {
        std::vector<UiValue> statuses;
        std::optional<UiValue> results;
    };
    Outcome search(const fs::path& path, std::int32_t limit, bool adaptive, std::string term) {
        page.clear();
        CatalogueSearch search(page);
        search.configure(path.string(), limit, adaptive);
        EXPECT_TRUE(search.start(std::move(term)));
        EXPECT_TRUE(test::eventually([&] { return !search.searching(); }));
        const std::vector<UiValue> results = page.args_of("add_search_results");
        EXPECT_LE(results.size(), 1U);
        return {page.args_of("set_search_statusbar"),
                results.empty() ? std::nullopt : std::optional(results.front())};
    }

    static std::vector<std::string> names(const UiValue& results) {
        std::vector<std::string> out;
        for (const UiValue& result : results.as_array()) {
            out.push_back(result.at_key("name").as_string());
        }
        return out;
    }

    test::TempDir dir;
    test::RecordingPage page;
    int files = 0;
};

TEST_F(CatalogueSearchTest, FindsTheRowsOfTheCatalogueAsTheModeAndLimitSay) {
    const std::string five =
        catalogue({std::string(kHeader), row("Ubuntu One"), row("ubuntu two"), row("Ubuntu three"),
                   row("ubuntu four"), row("ubuntu five")});
    const std::vector<UiValue> searching{UiValue(1209)};
    const struct {
        const char* what;
        std::string text;
        std::int32_t limit;
        bool adaptive;
        const char* term;
        std::vector<std::string> names;
    } cases[] = {
        {"only the header", catalogue({row("ubuntu")}), 0, false, "ubuntu", {}},
        {"only the header, without line feed", row("ubuntu"), 0, false, "ubuntu", {}},
        {"limit 2 of 5", five, 2, false, "ubuntu", {"Ubuntu One", "ubuntu two"}},
        {"no limit",
         five,
         0,
         false,
         "UBUNTU",
         {"Ubuntu One", "ubuntu two", "Ubuntu three", "ubuntu four", "ubuntu five"}},
        {"a negative limit is none",
         five,
         -1,
         false,
         "ubuntu",
         {"Ubuntu One", "ubuntu two", "Ubuntu three", "ubuntu four", "ubuntu five"}},
        {"plain: case and position",
         catalogue({std::string(kHeader), row("Debian", "1", "ubuntuAAAAAAAAAAAAAAAAAAAAAA"),
                    row("The Ubuntu Disc")}),
         0,
         false,
         "ubuntu",
         {"The Ubuntu Disc"}},
        {"plain: blanks are bytes", five, 0, false, "ubuntu  one", {}},
        {"adaptive: two words in order, case counts",
         catalogue({std::string(kHeader), row("ubuntu 22.04 desktop.iso"), row("iso of ubuntu"),
                    row("Ubuntu 22.04.iso"), row("ubuntu.ISO")}),
         0,
         true,
         "ubuntu iso",
         {"ubuntu 22.04 desktop.iso"}},
        {"adaptive: limit", five, 1, true, "[a-z]+", {"Ubuntu One"}},
        {"adaptive: a term that does not compile", five, 0, true, "ubuntu (", {}},
        {"plain: a row without ';' is skipped",
         catalogue({std::string(kHeader), std::string(60, 'u'), row("ubuntu")}),
         0,
         false,
         "uu",
         {}},
        {"adaptive: short and malformed rows are skipped",
         catalogue({std::string(kHeader), "ubuntu;short", std::string(60, 'u'), row("ubuntu")}),
         0,
         true,
         "u",
         {"ubuntu"}},
        {"the last row without line feed",
         catalogue({std::string(kHeader)}) + row("ubuntu"),
         0,
         false,
         "ubuntu",
         {"ubuntu"}},
        {"CRLF rows keep their names",
         catalogue({std::string(kHeader), row("ubuntu")}, "\r\n"),
         0,
         true,
         "ubuntu",
         {"ubuntu"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = search(write(c.text), c.limit, c.adaptive, c.term);
        EXPECT_EQ(outcome.statuses, searching);
        ASSERT_TRUE(outcome.results.has_value());
        EXPECT_EQ(names(*outcome.results), c.names);
    }
}

TEST_F(CatalogueSearchTest, ASizeThatIsNoNumberGivesZero) {
    const Outcome outcome =
        search(write(catalogue({std::string(kHeader), row("ubuntu", "many")})), 0, false, "ubu");
    ASSERT_TRUE(outcome.results.has_value());
    EXPECT_EQ(*outcome.results, UiValue(UiArray{UiMap{{"date", kDate},
                                                      {"hash", kHash},
                                                      {"size", "0 bytes"},
                                                      {"size_int", 0.0},
                                                      {"name", "ubuntu"}}}));
}

TEST_F(CatalogueSearchTest, AMissingOrUnreadableCatalogueGivesItsStatusAndNoResults) {
    fs::create_directories(dir / "folder");
    const struct {
        const char* what;
        fs::path path;
        std::int32_t status;
    } cases[] = {
        {"missing", dir / "nowhere.csv", 1206},
        {"no path", fs::path(), 1206},
        {"a dangling link", dir / "link.csv", 1206},
        {"a folder", dir / "folder", 1207},
    };
    fs::create_symlink(dir / "gone.csv", dir / "link.csv");
    for (const auto& c : cases) {
        for (const bool adaptive : {false, true}) {
            SCOPED_TRACE(c.what);
            const Outcome outcome = search(c.path, 0, adaptive, "ubuntu");
            EXPECT_EQ(outcome.statuses, std::vector<UiValue>{UiValue(c.status)});
            EXPECT_FALSE(outcome.results.has_value());
        }
    }
}

TEST_F(CatalogueSearchTest, HugeLinesAreSearchedInBothModes) {
    const std::string name = std::string(std::size_t{256} << 10U, 'x') + " ubuntu " + "z.iso";
    const fs::path path = write(catalogue({std::string(kHeader), row(name), row("ubuntu.iso")}));
    for (const bool adaptive : {false, true}) {
        SCOPED_TRACE(adaptive);
        const Outcome outcome = search(path, 0, adaptive, adaptive ? "ubuntu [i]so" : "ubuntu");
        ASSERT_TRUE(outcome.results.has_value());
        EXPECT_EQ(names(*outcome.results), (std::vector<std::string>{name, "ubuntu.iso"}));
    }
}

// Holds the search inside its "Searching..." status until released.
class HeldSearch {
public:
    explicit HeldSearch(test::RecordingPage& page) {
        page.answer("set_search_statusbar", [this](const UiValue&) {
            std::unique_lock lock(mutex_);
            held_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
            return UiValue();
        });
    }
    void wait_until_held() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return held_; });
    }
    void release() {
        const std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool released_ = false;
};

TEST_F(CatalogueSearchTest, ASecondSearchIsRefusedWhileOneRunsAndAllowedAfter) {
    HeldSearch hold(page);
    CatalogueSearch search(page);
    search.configure(write(catalogue({std::string(kHeader), row("ubuntu")})).string(), 0, false);
    ASSERT_TRUE(search.start("ubuntu"));
    hold.wait_until_held();
    EXPECT_TRUE(search.searching());
    search.configure((dir / "elsewhere.csv").string(), 0, false);
    EXPECT_FALSE(search.start("debian"));
    hold.release();
    ASSERT_TRUE(test::eventually([&] { return !search.searching(); }));
    // the refused search left the running one alone: its file, its term
    EXPECT_EQ(
        page.args_of("add_search_results"),
        std::vector<UiValue>{UiValue(UiArray{search_result(*read_catalogue_line(row("ubuntu")))})});
    EXPECT_TRUE(search.start("ubuntu"));
    EXPECT_TRUE(test::eventually([&] { return !search.searching(); }));
    EXPECT_EQ(page.args_of("set_search_statusbar").back(), UiValue(1206));
}

TEST_F(CatalogueSearchTest, DestroyingTheSearchStopsItWithoutAResult) {
    HeldSearch hold(page);
    std::vector<std::string> lines{std::string(kHeader)};
    lines.insert(lines.end(), 1000, row("ubuntu"));
    auto search = std::make_unique<CatalogueSearch>(page);
    search->configure(write(catalogue(lines)).string(), 0, true);
    ASSERT_TRUE(search->start("ubuntu"));
    hold.wait_until_held();
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        hold.release();
    });
    search.reset();
    releaser.join();
    EXPECT_EQ(page.count("add_search_results"), 0U);
}

}  // namespace
}  // namespace velmora::services
