// The page archive reader on an arbitrary block: it opens or refuses it, and every lookup of an
// opened one ends with a page or none, within the entry size limit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "velmora/bridge/ui_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using velmora::bridge::UiArchive;
    const auto archive =
        UiArchive::open(std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), size));
    if (!archive) {
        return 0;
    }
    for (const char* path : {"index.html", "main.js", "css/main.css", "", "a/b/c", "\xc3\xa9"}) {
        if (const auto page = archive->find(path);
            page && page->size() > velmora::bridge::kMaxArchiveEntryBytes) {
            std::fprintf(stderr, "archive fuzzer: an entry over the limit\n");
            std::abort();
        }
    }
    return 0;
}
