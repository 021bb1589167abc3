// Lookup in the packed page archive.
#include "velmora/bridge/ui_archive.h"

#include <lzf.h>

namespace velmora::bridge {
namespace {

constexpr std::size_t kHeaderBytes = 8;  // magic and node count
constexpr std::size_t kNodeBytes = 8;
constexpr std::size_t kCountBytes = 4;
constexpr std::size_t kEntryBytes = 12;

std::uint32_t read_u32(std::span<const std::byte> b, std::size_t at) {
    return std::to_integer<std::uint32_t>(b[at]) |
           (std::to_integer<std::uint32_t>(b[at + 1]) << 8) |
           (std::to_integer<std::uint32_t>(b[at + 2]) << 16) |
           (std::to_integer<std::uint32_t>(b[at + 3]) << 24);
}

std::uint16_t read_u16(std::span<const std::byte> b, std::size_t at) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(b[at]) |
                                      (std::to_integer<unsigned>(b[at + 1]) << 8));
}

std::int16_t read_i16(std::span<const std::byte> b, std::size_t at) {
    return static_cast<std::int16_t>(read_u16(b, at));
}

bool has_magic(std::span<const std::byte> block) {
    constexpr unsigned char kMagic[] = {'S', 'A', 'r', 0};
    for (std::size_t i = 0; i < sizeof kMagic; ++i) {
        if (std::to_integer<unsigned char>(block[i]) != kMagic[i]) {
            return false;
        }
    }
    return true;
}

// The path after its leading slashes, or nullopt for one that can never name an entry: the
// pages must not climb out of the archive, and a NUL would end the name early.
std::optional<std::string_view> lookup_path(std::string_view path) {
    for (int i = 0; i < 2 && !path.empty() && path.front() == '/'; ++i) {
        path.remove_prefix(1);
    }
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == "..") {
            return std::nullopt;
        }
        start = end + 1;
    }
    return path;
}

}  // namespace

std::optional<std::u16string> archive_path_units(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = 1;
        std::uint32_t cp = lead;
        std::uint32_t smallest = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            cp = lead & 0x1FU;
            smallest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            cp = lead & 0x0FU;
            smallest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            cp = lead & 0x07U;
            smallest = 0x10000;
        } else if (lead >= 0x80) {
            return std::nullopt;
        }
        if (length > utf8.size() - i) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0U) != 0x80U) {
                return std::nullopt;
            }
            cp = (cp << 6) | (next & 0x3FU);
        }
        if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return std::nullopt;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FFU)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

std::optional<UiArchive> UiArchive::open(std::span<const std::byte> block) {
    if (block.size() < kHeaderBytes || !has_magic(block)) {
        return std::nullopt;
    }
    // 64-bit sizes: a hostile count times the record size cannot wrap
    const std::uint32_t node_count = read_u32(block, 4);
    const std::uint64_t entries_at = kHeaderBytes + std::uint64_t{node_count} * kNodeBytes;
    if (entries_at + kCountBytes > block.size()) {
        return std::nullopt;
    }
    const std::uint32_t entry_count = read_u32(block, static_cast<std::size_t>(entries_at));
    if (entries_at + kCountBytes + std::uint64_t{entry_count} * kEntryBytes > block.size()) {
        return std::nullopt;
    }
    return UiArchive(block, node_count, entry_count);
}

std::optional<std::string> UiArchive::find(std::string_view path) const {
    const auto relative = lookup_path(path);
    if (!relative) {
        return std::nullopt;
    }
    const auto units = archive_path_units(*relative);
    if (!units) {
        return std::nullopt;
    }
    const auto number = entry_number(*units);
    if (!number) {
        return std::nullopt;
    }
    return unpack(*number);
}

std::optional<std::uint32_t> UiArchive::entry_number(std::u16string_view path) const {
    std::size_t node = 0;
    std::size_t pos = 0;
    // In a sound tree every step goes down to a child, so one lookup visits each node at most
    // once; a walk longer than the node count can only be going round a cycle.
    for (std::uint32_t step = 0; step < node_count_; ++step) {
        const std::size_t at = kHeaderBytes + node * kNodeBytes;
        const char16_t here = read_u16(block_, at);
        const char16_t want = pos < path.size() ? path[pos] : u'\0';
        std::int16_t next = -1;
        if (want < here) {
            next = read_i16(block_, at + 2);
        } else if (want > here) {
            next = read_i16(block_, at + 6);
        } else if (want == u'\0') {
            // the end of the name: its equal field is the 1-based entry number
            const std::int16_t number = read_i16(block_, at + 4);
            if (number < 1 || static_cast<std::uint32_t>(number) > entry_count_) {
                return std::nullopt;
            }
            return static_cast<std::uint32_t>(number);
        } else {
            next = read_i16(block_, at + 4);
            ++pos;
        }
        // -1 is "no child"; any other negative or too large index is damage
        if (next < 0 || static_cast<std::uint32_t>(next) >= node_count_) {
            return std::nullopt;
        }
        node = static_cast<std::size_t>(next);
    }
    return std::nullopt;
}

std::optional<std::string> UiArchive::unpack(std::uint32_t entry_number) const {
    const std::size_t at = kHeaderBytes + std::size_t{node_count_} * kNodeBytes + kCountBytes +
                           std::size_t{entry_number - 1} * kEntryBytes;
    const std::size_t offset = read_u32(block_, at);
    const std::size_t stored = read_u32(block_, at + 4);
    const std::uint32_t unpacked = read_u32(block_, at + 8);
    if (offset > block_.size() || stored > block_.size() - offset) {
        return std::nullopt;
    }
    const char* data = reinterpret_cast<const char*>(block_.data()) + offset;
    if (unpacked == 0) {
        return std::string(data, stored);
    }
    // lzf_decompress reads a first control byte even from empty input, so empty data is
    // refused here rather than read past the block's end
    if (unpacked > kMaxArchiveEntryBytes || stored == 0) {
        return std::nullopt;
    }
    std::string out(unpacked, '\0');
    const unsigned int got =
        lzf_decompress(data, static_cast<unsigned int>(stored), out.data(), unpacked);
    if (got != unpacked) {
        return std::nullopt;
    }
    return out;
}

}  // namespace velmora::bridge
