// Temporary folders for tests.
#include "support/temp_dir.h"

#include <cstdlib>
#include <string>
#include <system_error>

namespace velmora::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace velmora::test
