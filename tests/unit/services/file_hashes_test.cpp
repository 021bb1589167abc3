// File digests against the system's own tools, and the request queue on real files.
#include "velmora/services/file_hashes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_fixtures.h"
#include "support/temp_dir.h"
#include "velmora/services/file_kinds.h"

namespace velmora::services {
namespace {

namespace fs = std::filesystem;
using bridge::UiMap;
using bridge::UiValue;

// What `tool` (sha1sum, md5sum) says of the file, in upper case.
std::string system_digest(const std::string& tool, const fs::path& file) {
    const std::string command = tool + " '" + file.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out(64, '\0');
    const std::size_t got = std::fread(out.data(), 1, out.size(), pipe);
    ::pclose(pipe);
    out.resize(std::min(got, out.find(' ')));
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

void write(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

TEST(FileDigest, MatchesTheSystemToolsFromEmptyToSeveralGibibytes) {
    test::TempDir dir;
    write(dir / "empty", "");
    write(dir / "small", "abc");
    {
        std::string block(1'048'577, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>((i * 7919U) >> 3U);
        }
        write(dir / "block", block);
    }
    {
        // mostly a hole, so the test costs hashing time but no disk; the last byte is data
        std::ofstream(dir / "large", std::ios::binary).close();
        fs::resize_file(dir / "large", (2ULL << 30U) + 1);
        std::fstream end(dir / "large", std::ios::in | std::ios::out | std::ios::binary);
        end.seekp(static_cast<std::streamoff>(2ULL << 30U));
        end.put('z');
    }
    for (const char* name : {"empty", "small", "block", "large"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(file_digest(dir / name, Digest::Sha1), system_digest("sha1sum", dir / name));
        EXPECT_EQ(file_digest(dir / name, Digest::Md5), system_digest("md5sum", dir / name));
    }
    EXPECT_EQ(file_digest(dir / "empty", Digest::Sha1), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_FALSE(file_digest(dir / "missing", Digest::Md5));
    EXPECT_FALSE(file_digest(dir.path(), Digest::Md5));  // a folder is not a file
}

TEST(FileKinds, ProgramsAndArchivesByTheirFirstBytes) {
    test::TempDir dir;
    const struct {
        const char* name;
        std::string bytes;
        bool flagged;
    } cases[] = {
        {"program.exe", "MZ\x90", true},
        {"text.txt", "hello world", false},
        {"short-zip", "PK", false},  // the missing bytes count as 0
        {"archive.zip", std::string("PK\x03\x04", 4), true},
        {"short-rar", std::string("Rar!\x1A\x07\x01", 7), true},  // its last byte is 0
        {"elf",
         std::string("\x7F"
                     "ELF\x02",
                     5),
         true},
        {"gzip", std::string("\x1F\x8B\x08", 3), true},
        {"tar", "ustar", true},
        {"empty", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(dir / c.name, c.bytes);
        EXPECT_EQ(is_program_or_archive(dir / c.name), c.flagged);
    }
    EXPECT_FALSE(is_program_or_archive(dir / "missing"));
}

// A queue whose workers the test can wait for, ticked as the status bar ticks it.
class HashQueueTest : public ::testing::Test {
protected:
    HashQueueTest() {
        page.answer("IndexFromHash",
                    [](const UiValue& hash) { return UiValue(hash == UiValue("gone") ? -1 : 3); });
    }
    ~HashQueueTest() override {
        for (auto& worker : workers) {
            worker.join();
        }
    }
    void tick_until_idle() {
        ASSERT_TRUE(test::eventually([this] {
            queue.start_next();
            return queue.queued() == 0 && !queue.busy();
        }));
    }

    test::TempDir dir;
    test::RecordingPage page;
    std::atomic<bool> running{true};
    std::atomic<bool> exiting{false};
    std::vector<std::thread> workers;
    FileHashQueue queue{page, {running, exiting}, [this](std::function<void()> job) {
                            workers.emplace_back(std::move(job));
                        }};
};

TEST_F(HashQueueTest, RequestsAreServedInOrderAndTheUnservableOnesDropSilently) {
    write(dir / "one.exe", "MZ program");
    write(dir / "two.txt", "plain text");
    const std::string one = (dir / "one.exe").string();
    const std::string two = (dir / "two.txt").string();
    queue.add({"aa", one, 4, true, true});
    queue.add({"aa", (dir / "missing").string(), 5, true, true});
    queue.add({"gone", two, 6, true, true});  // the page no longer lists its torrent
    queue.add({"aa", two, 7, false, false});
    queue.add({"bb", two, 8, false, true});
    tick_until_idle();

    const auto sha1_of = [](const fs::path& p) { return *file_digest(p, Digest::Sha1); };
    std::vector<std::pair<std::string, UiValue>> raised;
    for (auto& [name, arg] : page.events()) {
        if (name != "IndexFromHash") {
            raised.emplace_back(name, arg);
        }
    }
    const std::vector<std::pair<std::string, UiValue>> expected = {
        {"set_file_sha1", UiMap{{"path", UiValue(one)},
                                {"torrent_hash", UiValue("aa")},
                                {"sha1", UiValue(sha1_of(one))},
                                {"idx", UiValue(4)},
                                {"binary", UiValue(true)}}},
        {"set_file_md5", UiMap{{"path", UiValue(one)},
                               {"torrent_hash", UiValue("aa")},
                               {"md5", UiValue(*file_digest(one, Digest::Md5))},
                               {"idx", UiValue(4)}}},
        {"set_file_sha1", UiMap{{"path", UiValue(two)},
                                {"torrent_hash", UiValue("bb")},
                                {"sha1", UiValue(sha1_of(two))},
                                {"idx", UiValue(8)},
                                {"binary", UiValue(false)}}},
    };
    EXPECT_EQ(raised, expected);
}

TEST_F(HashQueueTest, AnExitingClientStartsNoFurtherWork) {
    write(dir / "f", "x");
    queue.add({"aa", (dir / "f").string(), 0, true, true});
    running = false;
    queue.start_next();
    ASSERT_TRUE(test::eventually([this] { return !workers.empty(); }));
    workers.back().join();
    workers.pop_back();
    queue.start_next();  // still busy: no second worker
    EXPECT_TRUE(workers.empty());
    EXPECT_EQ(page.count("set_file_sha1"), 0U);
}

}  // namespace
}  // namespace velmora::services
