// The folder listing the pages' folder and file pickers browse with.
#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

struct FolderListing {
    bool ok = false;
    // {"path":..,"parent":..|null,"entries":[{"name":..,"dir":..,"size":N},...]} or {"error":..}
    std::string json;
};

// Thread: any. Lists the entries of an absolute folder, folders first, each group by name;
// reads names and sizes only, never file contents.
FolderListing list_folder(std::string_view path);

}  // namespace velmora::platform
