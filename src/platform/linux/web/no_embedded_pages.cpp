// A build without a page archive: every page must come from the options' lookup.
#include "velmora/platform/linux/web/embedded_pages.h"

namespace velmora::platform {

ArchiveLookup embedded_page_lookup() {
    return {};
}

}  // namespace velmora::platform
