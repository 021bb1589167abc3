// The advanced settings reader on arbitrary text: whatever it accepts, the settings it leaves
// write out as a file that reads back to the same settings.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velmora/config/advanced_settings_xml.h"
#include "velmora/config/client_settings.h"

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "advanced settings fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmora::config;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ClientSettings settings;
    load_advanced_settings_text(text, settings);
    const std::string written = advanced_settings_xml(settings);
    ClientSettings reread;
    require(!load_advanced_settings_text(written, reread), "its own file is refused");
    require(advanced_settings_xml(reread) == written, "its own file reads back otherwise");
    return 0;
}
