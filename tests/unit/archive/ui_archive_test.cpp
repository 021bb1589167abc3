// The page archive: what the packer writes, the reader finds byte for byte; damaged blocks are
// refused without crashing.
#include "velmora/bridge/ui_archive.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <lzf.h>
#include <sys/mman.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "velmora/bridge/embedded_ui_archive.h"

namespace velmora::bridge {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;

void write_file(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

Bytes read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* begin = reinterpret_cast<const std::byte*>(data.data());
    return Bytes(begin, begin + data.size());
}

// A copy of a block that ends right before an inaccessible page, so that a read past its end
// faults even inside an uninstrumented library such as liblzf.
class GuardedBlock {
public:
    explicit GuardedBlock(const Bytes& bytes) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t data_bytes = (bytes.size() + page - 1) / page * page;
        mapped_bytes_ = data_bytes + page;
        void* base = mmap(nullptr, mapped_bytes_, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            throw std::runtime_error("mmap failed");
        }
        base_ = static_cast<std::byte*>(base);
        if (mprotect(base_ + data_bytes, page, PROT_NONE) != 0) {
            throw std::runtime_error("mprotect failed");
        }
        std::byte* begin = base_ + data_bytes - bytes.size();
        std::copy(bytes.begin(), bytes.end(), begin);
        block_ = std::span<const std::byte>(begin, bytes.size());
    }
    ~GuardedBlock() { munmap(base_, mapped_bytes_); }
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;

    std::span<const std::byte> block() const { return block_; }

private:
    std::byte* base_ = nullptr;
    std::size_t mapped_bytes_ = 0;
    std::span<const std::byte> block_;
};

// The packer's exit code; its complaints go to the test log.
int pack(const fs::path& out, const std::vector<std::string>& roots) {
    std::vector<std::string> argv{VELMORA_PACK_UI, "--out", out.string()};
    argv.insert(argv.end(), roots.begin(), roots.end());
    test::ChildProcess tool(argv, {});
    const std::optional<int> code = tool.wait(std::chrono::seconds(5));
    std::cerr << tool.stderr_text();
    return code.value_or(-1);
}

std::string compressible_text() {
    std::string text;
    for (int i = 0; i < 300; ++i) {
        text += "<p class=\"row\">line " + std::to_string(i % 7) + "</p>\n";
    }
    return text;
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(gen() & 0xFFU);
    }
    return out;
}

// A small page tree: shared name prefixes, nested folders, a UTF-8 name with a character
// outside the 16-bit range, empty and one-byte files, data that LZF shrinks and data it cannot.
const std::vector<std::pair<std::string, std::string>>& page_files() {
    static const std::vector<std::pair<std::string, std::string>> files{
        {"main.htm", compressible_text()},
        {"images/spinner.png", random_bytes(4096, 7)},
        {"a", "short a"},
        {"ab", "short ab"},
        {"abc", compressible_text() + "abc"},
        {"abd", "d"},
        {"css/deep/er/style.css", "body { margin: 0; }\n"},
        {"fonts/\xc3\xbcn\xc3\xaf-\xe5\xad\x97-\xf0\x9f\x98\x80.txt", "utf-8 name"},
        {"empty.txt", ""},
        {"Z", random_bytes(15, 9)},
    };
    return files;
}

class PackedPages : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& [path, data] : page_files()) {
            write_file(dir_ / "pages" / path, data);
        }
        write_file(dir_ / "shim/page_bridge.js", "export const bridge = 1;\n");
        write_file(dir_ / "shim/lib/util.js", compressible_text());
        for (const char* hidden : {".keep", ".hidden/x.js", "images/.DS_Store"}) {
            write_file(dir_ / "pages" / hidden, "not packed");
        }
        ASSERT_EQ(pack(dir_ / "ui.bin",
                       {(dir_ / "pages").string(), (dir_ / "shim").string() + "=bridge"}),
                  0);
        block_ = read_bytes(dir_ / "ui.bin");
        archive_ = UiArchive::open(block_);
        ASSERT_TRUE(archive_);
    }

    test::TempDir dir_;
    Bytes block_;
    std::optional<UiArchive> archive_;
};

TEST_F(PackedPages, EveryFileReadsBackByteForByte) {
    EXPECT_EQ(archive_->entry_count(), page_files().size() + 2);
    for (const auto& [path, data] : page_files()) {
        SCOPED_TRACE(path);
        EXPECT_EQ(archive_->find(path), data);
    }
    EXPECT_EQ(archive_->find("bridge/page_bridge.js"), "export const bridge = 1;\n");
    EXPECT_EQ(archive_->find("bridge/lib/util.js"), compressible_text());
    EXPECT_EQ(archive_->find("/main.htm"), compressible_text());
    EXPECT_EQ(archive_->find("//images/spinner.png"), random_bytes(4096, 7));
    // the whole block is smaller than its files: the text entries really are compressed
    EXPECT_LT(block_.size(), 4 * compressible_text().size());
}

TEST_F(PackedPages, PathsNotInTheArchiveAreNotFound) {
    for (const std::string path : {"",
                                   "/",
                                   "//",
                                   "///main.htm",
                                   "main",
                                   "main.htmx",
                                   "MAIN.HTM",
                                   "b",
                                   "abcd",
                                   "ab/",
                                   "images",
                                   "images/",
                                   "css/deep",
                                   "page_bridge.js",
                                   "bridge",
                                   "bridge/",
                                   ".keep",
                                   ".hidden/x.js",
                                   "images/.DS_Store",
                                   "images/../main.htm",
                                   "./main.htm",
                                   "main.htm\xff",
                                   "\xc3\xbc"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(archive_->find(path));
    }
    EXPECT_FALSE(archive_->find(std::string("main.htm\0", 9)));
    EXPECT_FALSE(archive_->find(std::string("a\0b", 3)));
}

TEST_F(PackedPages, OutputDependsOnlyOnTheFiles) {
    test::TempDir other;
    // the same files written in the opposite order, so a directory listing differs
    const auto& files = page_files();
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        write_file(other / "pages" / it->first, it->second);
    }
    write_file(other / "shim/lib/util.js", compressible_text());
    write_file(other / "shim/page_bridge.js", "export const bridge = 1;\n");
    ASSERT_EQ(pack(other / "ui.bin",
                   {(other / "pages").string(), (other / "shim").string() + "=/bridge/"}),
              0);
    EXPECT_EQ(read_bytes(other / "ui.bin"), block_);
}

// Damage picked at random must never crash the reader; whatever it still finds is real data.
TEST_F(PackedPages, RandomDamageIsSurvived) {
    std::mt19937 gen(1234);
    for (int round = 0; round < 400; ++round) {
        Bytes damaged = block_;
        if (round % 4 == 0) {
            damaged.resize(gen() % damaged.size());
        }
        for (std::size_t k = 0, flips = 1 + gen() % 8; k < flips && !damaged.empty(); ++k) {
            damaged[gen() % damaged.size()] = static_cast<std::byte>(gen() & 0xFFU);
        }
        const GuardedBlock guarded(damaged);
        const auto archive = UiArchive::open(guarded.block());
        if (!archive) {
            continue;
        }
        for (const auto& [path, data] : page_files()) {
            (void)archive->find(path);
        }
    }
}

TEST(Packer, EmptyFoldersMakeAnEmptyArchive) {
    test::TempDir dir;
    write_file(dir / "pages/.keep", "");
    fs::create_directories(dir / "shim");
    ASSERT_EQ(pack(dir / "ui.bin", {(dir / "pages").string(), (dir / "shim").string() + "=bridge"}),
              0);
    const Bytes block = read_bytes(dir / "ui.bin");
    const auto archive = UiArchive::open(block);
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->entry_count(), 0U);
    EXPECT_FALSE(archive->find("main.htm"));
    EXPECT_FALSE(archive->find(".keep"));
}

TEST(Packer, RefusesWhatTheArchiveCannotHold) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
        std::vector<std::string> roots;  // relative to the test folder
    } cases[] = {
        {"missing root", [](const fs::path&) {}, {"nowhere"}},
        {"no root", [](const fs::path&) {}, {}},
        {"same path from two roots",
         [](const fs::path& dir) {
             write_file(dir / "pages/bridge/x.js", "1");
             write_file(dir / "shim/x.js", "2");
         },
         {"pages", "shim=bridge"}},
        {"file name not UTF-8",
         [](const fs::path& dir) { write_file(dir / "pages/bad\xff.js", "1"); },
         {"pages"}},
        {"more index nodes than 16-bit links reach",
         [](const fs::path& dir) {
             // 140 names of 240 distinct characters need about 33,600 nodes
             for (int i = 0; i < 140; ++i) {
                 write_file(dir / "pages" / (std::to_string(1000 + i) + std::string(236, 'x')), "");
             }
         },
         {"pages"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        c.make(dir.path());
        std::vector<std::string> roots;
        for (const auto& r : c.roots) {
            roots.push_back((dir / r).string());
        }
        EXPECT_NE(pack(dir / "ui.bin", roots), 0);
        EXPECT_FALSE(fs::exists(dir / "ui.bin"));
    }
}

TEST(EmbeddedArchive, IsThePackedPagesOfThisBuild) {
    const std::span<const std::byte> block = embedded_ui_archive();
    const Bytes packed = read_bytes(VELMORA_UI_ARCHIVE_BIN);
    ASSERT_FALSE(packed.empty());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), packed.begin(), packed.end()));
    const auto archive = UiArchive::open(block);
    ASSERT_TRUE(archive);
}

// Blocks written field by field, to damage one field at a time.
struct RawNode {
    std::uint16_t ch;
    std::int16_t low;
    std::int16_t equal;
    std::int16_t high;
};

struct RawEntry {
    std::uint64_t offset;  // from the start of the data, so that layouts stay easy to edit
    std::uint32_t stored;
    std::uint32_t unpacked;
};

struct Layout {
    std::vector<RawNode> nodes;
    std::vector<RawEntry> entries;
    std::string data;
};

void put(Bytes& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFFU));
    }
}

std::uint64_t data_start(const Layout& layout) {
    return 8 + 8 * layout.nodes.size() + 4 + 12 * layout.entries.size();
}

Bytes assemble(const Layout& layout) {
    Bytes out{std::byte{'S'}, std::byte{'A'}, std::byte{'r'}, std::byte{0}};
    put(out, layout.nodes.size(), 4);
    for (const RawNode& n : layout.nodes) {
        put(out, n.ch, 2);
        put(out, static_cast<std::uint16_t>(n.low), 2);
        put(out, static_cast<std::uint16_t>(n.equal), 2);
        put(out, static_cast<std::uint16_t>(n.high), 2);
    }
    put(out, layout.entries.size(), 4);
    for (const RawEntry& e : layout.entries) {
        put(out, data_start(layout) + e.offset, 4);
        put(out, e.stored, 4);
        put(out, e.unpacked, 4);
    }
    for (const char c : layout.data) {
        out.push_back(static_cast<std::byte>(c));
    }
    return out;
}

std::string lzf(const std::string& data) {
    std::string out(data.size() + 16, '\0');
    out.resize(lzf_compress(data.data(), static_cast<unsigned>(data.size()), out.data(),
                            static_cast<unsigned>(out.size())));
    return out;
}

// "ab" is stored, "ac" compressed, "x/../y" and "../z" carry climbing paths.
Layout sound_layout() {
    const std::string packed = lzf(std::string(200, 'x'));
    const auto stored = static_cast<std::uint32_t>(packed.size());
    const auto node = [](char ch, int low, int equal, int high) {
        return RawNode{static_cast<std::uint16_t>(ch), static_cast<std::int16_t>(low),
                       static_cast<std::int16_t>(equal), static_cast<std::int16_t>(high)};
    };
    Layout layout;
    layout.nodes = {
        node('a', 5, 1, 10),   node('b', -1, 2, 3),   node('\0', -1, 1, -1), node('c', -1, 4, -1),
        node('\0', -1, 2, -1), node('.', -1, 6, -1),  node('.', -1, 7, -1),  node('/', -1, 8, -1),
        node('z', -1, 9, -1),  node('\0', -1, 4, -1), node('x', -1, 11, -1), node('/', -1, 12, -1),
        node('.', -1, 13, -1), node('.', -1, 14, -1), node('/', -1, 15, -1), node('y', -1, 16, -1),
        node('\0', -1, 3, -1),
    };
    layout.entries = {{0, 5, 0}, {5, stored, 200}, {5 + stored, 6, 0}, {11 + stored, 6, 0}};
    layout.data = "hello" + packed + "secret" + "hidden";
    return layout;
}

constexpr std::size_t kNodes = 17;

TEST(HandBuiltBlock, SoundLayoutReadsBack) {
    ASSERT_EQ(sound_layout().nodes.size(), kNodes);
    const Bytes block = assemble(sound_layout());
    const auto archive = UiArchive::open(block);
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->entry_count(), 4U);
    EXPECT_EQ(archive->find("ab"), "hello");
    EXPECT_EQ(archive->find("ac"), std::string(200, 'x'));
    // the tree does hold these two names, but a climbing path is never looked up
    EXPECT_FALSE(archive->find("x/../y"));
    EXPECT_FALSE(archive->find("../z"));
}

TEST(HandBuiltBlock, DamageMakesPathsNotFound) {
    using Edit = std::function<void(Layout&)>;
    using Cut = std::function<void(Bytes&)>;
    const auto none = [](Layout&) {};
    const auto keep = [](Bytes&) {};
    const struct {
        const char* name;
        Edit edit;
        Cut cut;
        const char* path;
    } cases[] = {
        {"bad magic", none, [](Bytes& b) { b[2] = std::byte{'R'}; }, "ab"},
        {"empty block", none, [](Bytes& b) { b.clear(); }, "ab"},
        {"header cut short", none, [](Bytes& b) { b.resize(7); }, "ab"},
        {"node table cut short", none, [](Bytes& b) { b.resize(8 + 8 * (kNodes - 1)); }, "ab"},
        {"entry count missing", none, [](Bytes& b) { b.resize(8 + 8 * kNodes + 2); }, "ab"},
        {"entry table cut short", none, [](Bytes& b) { b.resize(8 + 8 * kNodes + 4 + 12 * 3); },
         "ac"},
        {"node count past the block", none, [](Bytes& b) { b[7] = std::byte{0x7F}; }, "ab"},
        {"entry count past the block", none,
         [](Bytes& b) { b[8 + 8 * kNodes + 3] = std::byte{0xFF}; }, "ab"},
        {"child index past the nodes",
         [](Layout& l) { l.nodes[1].high = static_cast<std::int16_t>(kNodes); }, keep, "ac"},
        {"child index far past the nodes", [](Layout& l) { l.nodes[0].equal = 32767; }, keep, "ab"},
        {"negative child index", [](Layout& l) { l.nodes[0].equal = -7; }, keep, "ab"},
        {"cycle through high links", [](Layout& l) { l.nodes[3].high = 1; }, keep, "ad"},
        {"node linking to itself", [](Layout& l) { l.nodes[0].low = 0; }, keep, "A"},
        {"cycle through equal links", [](Layout& l) { l.nodes[1].equal = 0; }, keep,
         "abababababababababababababababab"},
        {"entry number 0", [](Layout& l) { l.nodes[2].equal = 0; }, keep, "ab"},
        {"entry number past the entries", [](Layout& l) { l.nodes[2].equal = 5; }, keep, "ab"},
        {"entry number -1", [](Layout& l) { l.nodes[2].equal = -1; }, keep, "ab"},
        {"data offset past the end", [](Layout& l) { l.entries[0].offset = 100000; }, keep, "ab"},
        {"stored size past the end", [](Layout& l) { l.entries[0].stored = 100000; }, keep, "ab"},
        {"offset and size wrap around",
         [](Layout& l) {
             l.entries[0].offset = 0xFFFFFF00U - data_start(l);
             l.entries[0].stored = 0x200;
         },
         keep, "ab"},
        {"compressed entry with no data at the end",
         [](Layout& l) {
             l.entries[0] = {l.data.size(), 0, 5};
         },
         keep, "ab"},
        {"unpacked size larger than the data gives", [](Layout& l) { ++l.entries[1].unpacked; },
         keep, "ac"},
        {"unpacked size smaller than the data gives", [](Layout& l) { --l.entries[1].unpacked; },
         keep, "ac"},
        {"compressed data cut short", [](Layout& l) { --l.entries[1].stored; }, keep, "ac"},
        {"back reference before the start",
         [](Layout& l) { l.data.replace(5, 2, std::string("\x20\x00", 2)); }, keep, "ac"},
        {"unpacked size past the limit",
         [](Layout& l) { l.entries[1].unpacked = kMaxArchiveEntryBytes + 1; }, keep, "ac"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Layout layout = sound_layout();
        c.edit(layout);
        Bytes block = assemble(layout);
        c.cut(block);
        const GuardedBlock guarded(block);
        const auto archive = UiArchive::open(guarded.block());
        EXPECT_FALSE(archive && archive->find(c.path));
    }
}

}  // namespace
}  // namespace velmora::bridge
