// Packs page folders into one archive block: a ternary search tree of paths over entries that
// are LZF-compressed where that makes them smaller.
//   velmora_pack_ui --out FILE ROOT[=PREFIX]...
// Every regular file under each ROOT is packed under its path relative to ROOT, prefixed by
// "PREFIX/" when given; names starting with "." are skipped. The output depends only on the
// files, never on the order the file system lists them in.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <lzf.h>

#include "velmora/bridge/ui_archive.h"

namespace {

namespace fs = std::filesystem;

// Child links are int16 in the archive, so no node index may pass this; entry numbers share
// the end nodes' equal field and have the same bound.
constexpr std::size_t kMaxNodes = 32767;
constexpr std::size_t kMaxEntries = 32767;
// Entries shorter than this are stored as they are: LZF would save next to nothing on them.
constexpr std::size_t kSmallestCompressed = 16;

struct Node {
    char16_t ch = 0;
    std::int32_t low = -1;
    std::int32_t equal = -1;
    std::int32_t high = -1;
};

struct Entry {
    std::string path;  // UTF-8, "/"-separated
    std::string data;
};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::u16string path_units(const std::string& path) {
    auto units = velmora::bridge::archive_path_units(path);
    if (!units) {
        fail("file name is not UTF-8: " + path);
    }
    return *units;
}

class Tree {
public:
    void insert(const std::string& path, std::int32_t entry_number) {
        std::u16string key = path_units(path);
        key.push_back(u'\0');
        if (nodes_.empty()) {
            add_node(key[0]);
        }
        std::size_t pos = 0;
        std::size_t node = 0;
        for (;;) {
            const char16_t want = key[pos];
            std::int32_t Node::*link = &Node::equal;
            if (want < nodes_[node].ch) {
                link = &Node::low;
            } else if (want > nodes_[node].ch) {
                link = &Node::high;
            } else if (want == u'\0') {
                if (nodes_[node].equal != -1) {
                    fail("two files would be packed as " + path);
                }
                nodes_[node].equal = entry_number;
                return;
            } else {
                ++pos;
            }
            if (nodes_[node].*link < 0) {
                nodes_[node].*link = add_node(key[pos]);
            }
            node = static_cast<std::size_t>(nodes_[node].*link);
        }
    }

    const std::vector<Node>& nodes() const { return nodes_; }

private:
    std::int32_t add_node(char16_t ch) {
        if (nodes_.size() >= kMaxNodes) {
            fail("the paths need more than " + std::to_string(kMaxNodes) +
                 " name-index nodes, past what 16-bit links can address");
        }
        nodes_.push_back(Node{ch});
        return static_cast<std::int32_t>(nodes_.size() - 1);
    }

    std::vector<Node> nodes_;
};

// Middle first on sorted paths, so that the low/high links stay balanced.
void insert_balanced(Tree& tree,
                     const std::vector<Entry>& entries,
                     std::size_t from,
                     std::size_t to) {
    if (from >= to) {
        return;
    }
    const std::size_t mid = from + (to - from) / 2;
    tree.insert(entries[mid].path, static_cast<std::int32_t>(mid + 1));
    insert_balanced(tree, entries, from, mid);
    insert_balanced(tree, entries, mid + 1, to);
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    if (!in || data.fail()) {
        // an empty file reads no character, which the stream reports as a failed extraction
        if (!(fs::is_regular_file(file) && fs::file_size(file) == 0)) {
            fail("cannot read " + file.string());
        }
        return {};
    }
    if (data.view().size() > velmora::bridge::kMaxArchiveEntryBytes) {
        fail("file too large for the archive: " + file.string());
    }
    return std::move(data).str();
}

// "ROOT" or "ROOT=PREFIX"; the prefix loses any leading or trailing "/".
void collect(const std::string& root_arg, std::vector<Entry>& entries) {
    const auto eq = root_arg.find('=');
    const fs::path root = root_arg.substr(0, eq);
    std::string prefix = eq == std::string::npos ? std::string() : root_arg.substr(eq + 1);
    prefix.erase(0, prefix.find_first_not_of('/'));
    prefix.erase(prefix.find_last_not_of('/') + 1);
    if (!prefix.empty()) {
        prefix += '/';
    }
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        fail("not a folder: " + root.string());
    }
    fs::recursive_directory_iterator it(root, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().starts_with('.')) {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code stat_error;
        const bool is_file = it->is_regular_file(stat_error);
        if (stat_error) {
            fail("cannot read " + it->path().string() + ": " + stat_error.message());
        }
        if (is_file) {
            entries.push_back({prefix + it->path().lexically_relative(root).generic_string(),
                               read_file(it->path())});
        }
    }
    if (ec) {
        fail("cannot list " + root.string() + ": " + ec.message());
    }
}

void put_u16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFFU));
    out.push_back(static_cast<char>((v >> 8) & 0xFFU));
}

void put_u32(std::string& out, std::uint64_t v) {
    if (v > UINT32_MAX) {
        fail("the archive would pass 4 GiB");
    }
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFFU));
    }
}

// LZF data when it is smaller than the entry, otherwise empty (store the entry as it is).
std::string compressed(const std::string& data) {
    if (data.size() < kSmallestCompressed) {
        return {};
    }
    std::string out(data.size() - 1, '\0');
    const unsigned int size = lzf_compress(data.data(), static_cast<unsigned int>(data.size()),
                                           out.data(), static_cast<unsigned int>(out.size()));
    out.resize(size);
    return out;
}

std::string build_archive(const std::vector<Entry>& entries) {
    if (entries.size() > kMaxEntries) {
        fail("more than " + std::to_string(kMaxEntries) + " files");
    }
    Tree tree;
    insert_balanced(tree, entries, 0, entries.size());
    std::string block("SAr\0", 4);
    put_u32(block, tree.nodes().size());
    for (const Node& n : tree.nodes()) {
        // int16 links are written as their two's-complement bit pattern: -1 is 0xFFFF
        put_u16(block, n.ch);
        put_u16(block, static_cast<std::uint32_t>(n.low) & 0xFFFFU);
        put_u16(block, static_cast<std::uint32_t>(n.equal) & 0xFFFFU);
        put_u16(block, static_cast<std::uint32_t>(n.high) & 0xFFFFU);
    }
    put_u32(block, entries.size());
    std::string table;
    std::string data;
    const std::size_t data_start = block.size() + entries.size() * 12;
    for (const Entry& e : entries) {
        const std::string packed = compressed(e.data);
        put_u32(table, data_start + data.size());
        put_u32(table, packed.empty() ? e.data.size() : packed.size());
        put_u32(table, packed.empty() ? 0 : e.data.size());
        data += packed.empty() ? e.data : packed;
    }
    block += table;
    block += data;
    if (block.size() > UINT32_MAX) {
        fail("the archive would pass 4 GiB");
    }
    return block;
}

// Reads every entry back through the client's own reader, so a build never embeds an archive
// that the client would read differently.
void verify(const std::string& block, const std::vector<Entry>& entries) {
    const auto archive = velmora::bridge::UiArchive::open(
        std::span(reinterpret_cast<const std::byte*>(block.data()), block.size()));
    if (!archive || archive->entry_count() != entries.size()) {
        fail("the packed archive does not open");
    }
    for (const Entry& e : entries) {
        if (archive->find(e.path) != e.data) {
            fail("the packed archive does not read back " + e.path);
        }
    }
}

// Written beside the target and renamed over it, so a failed run leaves no half archive that
// the build would take as up to date.
void write_file(const fs::path& out_path, const std::string& block) {
    const fs::path temp = out_path.string() + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
        if (!out.flush()) {
            fail("cannot write " + temp.string());
        }
    }
    std::error_code ec;
    fs::rename(temp, out_path, ec);
    if (ec) {
        fs::remove(temp, ec);
        fail("cannot write " + out_path.string());
    }
}

int run(int argc, char** argv) {
    std::string out_path;
    std::vector<std::string> roots;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out_path = argv[++i];
        } else if (arg.starts_with("--")) {
            out_path.clear();
            break;
        } else {
            roots.push_back(arg);
        }
    }
    if (out_path.empty() || roots.empty()) {
        std::cerr << "usage: velmora_pack_ui --out FILE ROOT[=PREFIX]...\n";
        return 2;
    }
    std::vector<Entry> entries;
    for (const auto& root_arg : roots) {
        collect(root_arg, entries);
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    const std::string block = build_archive(entries);
    verify(block, entries);
    write_file(out_path, block);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "velmora_pack_ui: " << e.what() << '\n';
        return 1;
    }
}
