// Files the user dropped on a page: the browser hands over their bytes, never their paths,
// so each one is uploaded and kept in a private folder for the client to open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/bridge/wire_protocol.h"

namespace velmora::platform {

// Larger uploads are refused (413) before their body is read.
inline constexpr std::size_t kMaxDroppedFileBytes = 64U * 1024U * 1024U;

// $TMPDIR when it is set and not empty, else /tmp.
std::filesystem::path default_temp_folder();

// The last segment of a name a browser gave a file (after any '/' or '\'); nullopt when it
// could not be a file name of its own: empty, ".", "..", a NUL, or longer than 255 bytes.
std::optional<std::string> upload_base_name(std::string_view name);

// Thread: any. Each file goes to a slot folder of its own, so equal names never meet, inside
// one folder (mode 0700) made on first use below the temporary folder and removed with this
// object. A file is known by the name its upload was answered with, in this run only.
class DroppedFiles {
public:
    explicit DroppedFiles(std::filesystem::path temp_folder);
    ~DroppedFiles();
    DroppedFiles(const DroppedFiles&) = delete;
    DroppedFiles& operator=(const DroppedFiles&) = delete;

    // Writes `bytes` (mode 0600) under the base name of `file_name`; the name to drop it by
    // ("<slot>/<base name>"), or nullopt with `error` set.
    std::optional<std::string> store(std::string_view file_name,
                                     std::string_view bytes,
                                     std::string& error);
    // The local paths of the named uploads, in the order given; names never answered by
    // store() are left out.
    std::vector<std::string> paths_of(const std::vector<std::string>& names) const;
    // The paths a page's drop stands for: uploads only, as a browser knows no local path.
    std::vector<std::string> resolve(const bridge::DropMessage& drop) const;

private:
    // The private folder, made on first use; empty with `error` set when it cannot be.
    std::filesystem::path folder(std::string& error);

    const std::filesystem::path temp_folder_;
    mutable std::mutex mutex_;
    std::filesystem::path folder_;
    std::uint64_t next_slot_ = 1;
    std::map<std::string, std::string, std::less<>> stored_;  // name -> path
};

}  // namespace velmora::platform
