// The packed page archive: a ternary search tree of paths over stored or LZF-compressed entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora::bridge {

// An entry larger than this unpacked is refused by the reader (and by the packer).
inline constexpr std::uint32_t kMaxArchiveEntryBytes = 64U * 1024U * 1024U;

// Reads an archive block that must stay alive and unchanged for the reader's lifetime (the
// embedded block lives as long as the process). Every field is checked before use, so a damaged
// or hostile block only ever makes paths not found. Thread: any (const after open).
class UiArchive {
public:
    // nullopt when the magic is wrong or the node and entry tables do not fit in the block.
    static std::optional<UiArchive> open(std::span<const std::byte> block);

    // The unpacked bytes of the entry at a "/"-separated UTF-8 path; one or two leading "/" are
    // skipped. nullopt when the path is not in the archive, holds a ".." segment, a NUL or bad
    // UTF-8, or when its entry is malformed.
    std::optional<std::string> find(std::string_view path) const;
    std::size_t entry_count() const { return entry_count_; }

private:
    UiArchive(std::span<const std::byte> block, std::uint32_t node_count, std::uint32_t entry_count)
        : block_(block), node_count_(node_count), entry_count_(entry_count) {}

    std::optional<std::uint32_t> entry_number(std::u16string_view path) const;
    std::optional<std::string> unpack(std::uint32_t entry_number) const;

    std::span<const std::byte> block_;
    std::uint32_t node_count_ = 0;
    std::uint32_t entry_count_ = 0;
};

// A path as the name index spells it, in UTF-16 code units; nullopt for text that is not UTF-8
// (overlong forms and encoded surrogates included). The packer spells names with the same rule.
std::optional<std::u16string> archive_path_units(std::string_view utf8);

}  // namespace velmora::bridge
