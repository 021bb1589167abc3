// Folder listing as JSON for the pickers.
#include "velmora/platform/linux/web/folder_listing.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Entry {
    std::string name;
    bool is_dir = false;
    std::uintmax_t size = 0;
};

std::string dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

FolderListing failure(const std::string& message) {
    return {false, dump(Json{{"error", message}})};
}

Entry read_entry(const fs::directory_entry& item) {
    Entry entry{item.path().filename().string(), false, 0};
    std::error_code ec;
    // a link counts as what it points to; a broken one as a file of size 0
    entry.is_dir = item.is_directory(ec);
    if (!entry.is_dir && item.is_regular_file(ec)) {
        const auto size = item.file_size(ec);
        entry.size = ec ? 0 : size;
    }
    return entry;
}

}  // namespace

FolderListing list_folder(std::string_view path_text) {
    const fs::path path = fs::path(std::string(path_text)).lexically_normal();
    if (!path.is_absolute()) {
        return failure("the path is not absolute");
    }
    std::error_code ec;
    fs::directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        return failure(ec.message());
    }
    std::vector<Entry> entries;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        entries.push_back(read_entry(*it));
    }
    if (ec) {
        return failure(ec.message());
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.is_dir != b.is_dir ? a.is_dir : a.name < b.name;
    });
    Json list = Json::array();
    for (const auto& entry : entries) {
        list.push_back({{"name", entry.name}, {"dir", entry.is_dir}, {"size", entry.size}});
    }
    fs::path shown = path;
    if (!shown.has_filename() && shown != shown.root_path()) {
        shown = shown.parent_path();  // "/a/b/" lists as "/a/b"
    }
    const fs::path parent = shown.parent_path();
    Json out{{"path", shown.string()},
             {"parent", shown == shown.root_path() ? Json(nullptr) : Json(parent.string())},
             {"entries", std::move(list)}};
    return {true, dump(out)};
}

}  // namespace velmora::platform
