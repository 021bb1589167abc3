// Entries of the built-in page archive.
#include "velmora/platform/linux/web/embedded_pages.h"

#include <memory>

#include "velmora/bridge/embedded_ui_archive.h"
#include "velmora/bridge/ui_archive.h"

namespace velmora::platform {

ArchiveLookup embedded_page_lookup() {
    auto archive = bridge::UiArchive::open(bridge::embedded_ui_archive());
    if (!archive) {
        return {};
    }
    auto shared = std::make_shared<const bridge::UiArchive>(std::move(*archive));
    return [shared](std::string_view path) { return shared->find(path); };
}

}  // namespace velmora::platform
