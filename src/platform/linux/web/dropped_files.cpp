// The private folder of dropped files and the names their uploads were answered with.
#include "velmora/platform/linux/web/dropped_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::platform {
namespace {

constexpr std::size_t kMaxFileNameBytes = 255;

std::string system_error_text(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

// Creates the file itself (never follows or reuses what is there) and writes it whole.
bool write_new_private_file(const std::filesystem::path& path,
                            std::string_view bytes,
                            std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = system_error_text("cannot create", path);
        return false;
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            error = system_error_text("cannot write", path);
            ::close(fd);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(fd) != 0) {
        error = system_error_text("cannot write", path);
        return false;
    }
    return true;
}

}  // namespace

std::filesystem::path default_temp_folder() {
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr && *tmpdir != '\0' ? std::filesystem::path(tmpdir)
                                                : std::filesystem::path("/tmp");
}

std::optional<std::string> upload_base_name(std::string_view name) {
    const std::size_t cut = name.find_last_of("/\\");
    const std::string_view base = cut == std::string_view::npos ? name : name.substr(cut + 1);
    if (base.empty() || base == "." || base == ".." || base.size() > kMaxFileNameBytes ||
        base.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(base);
}

DroppedFiles::DroppedFiles(std::filesystem::path temp_folder)
    : temp_folder_(std::move(temp_folder)) {}

DroppedFiles::~DroppedFiles() {
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::filesystem::path DroppedFiles::folder(std::string& error) {
    std::lock_guard lock(mutex_);
    if (folder_.empty()) {
        std::string pattern = (temp_folder_ / "velmora-drop-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            error = system_error_text("cannot create a folder in", temp_folder_);
            return {};
        }
        folder_ = pattern;
    }
    return folder_;
}

std::optional<std::string> DroppedFiles::store(std::string_view file_name,
                                               std::string_view bytes,
                                               std::string& error) {
    const auto base = upload_base_name(file_name);
    if (!base) {
        error = "not a file name";
        return std::nullopt;
    }
    const std::filesystem::path root = folder(error);
    if (root.empty()) {
        return std::nullopt;
    }
    std::string slot;
    {
        std::lock_guard lock(mutex_);
        slot = std::to_string(next_slot_++);
    }
    const std::filesystem::path slot_folder = root / slot;
    if (::mkdir(slot_folder.c_str(), 0700) != 0) {
        error = system_error_text("cannot create", slot_folder);
        return std::nullopt;
    }
    const std::filesystem::path path = slot_folder / *base;
    // written outside the lock: a large file must not hold up drops of files already stored
    if (!write_new_private_file(path, bytes, error)) {
        std::error_code ignored;
        std::filesystem::remove_all(slot_folder, ignored);
        return std::nullopt;
    }
    std::string name = slot + "/" + *base;
    std::lock_guard lock(mutex_);
    stored_.emplace(name, path.string());
    return name;
}

std::vector<std::string> DroppedFiles::paths_of(const std::vector<std::string>& names) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const auto& name : names) {
        const auto it = stored_.find(name);
        if (it != stored_.end()) {
            paths.push_back(it->second);
        }
    }
    return paths;
}

std::vector<std::string> DroppedFiles::resolve(const bridge::DropMessage& drop) const {
    if (drop.source != bridge::DropMessage::Source::Uploads) {
        return {};
    }
    return paths_of(drop.names);
}

}  // namespace velmora::platform
