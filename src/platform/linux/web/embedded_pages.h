// The page archive linked into the executable, as the web server looks entries up.
#pragma once

#include "velmora/platform/linux/web/web_server.h"

namespace velmora::platform {

// A lookup into the built-in page archive; an empty function when the build has none or it
// cannot be opened.
ArchiveLookup embedded_page_lookup();

}  // namespace velmora::platform
