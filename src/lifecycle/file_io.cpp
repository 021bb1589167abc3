// Whole-file reads and writes through the system calls, so every failure has its errno.
#include "velmora/lifecycle/file_io.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;

// A hidden name in the target's folder: short whatever the target's name, and unique among
// the writes of every process sharing the folder.
fs::path temporary_path_beside(const fs::path& target) {
    static std::atomic<std::uint64_t> writes{0};
    const std::uint64_t number = writes.fetch_add(1, std::memory_order_relaxed);
    return target.parent_path() /
           (".velmora-" + std::to_string(::getpid()) + "-" + std::to_string(number) + ".tmp");
}

std::optional<long> leading_number(std::string_view text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() || value <= 0) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool write_all(int fd, const std::vector<char>& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(fd, data.data() + done, data.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

lt::error_code system_error_code(int value) {
    return lt::error_code(value, boost::system::system_category());
}

// Opens a regular file for reading; a FIFO or device named by the page must never block or
// feed the reader forever.
FileDescriptor open_regular_file(const fs::path& path, struct stat& info, lt::error_code& error) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file.is_open()) {
        error = system_error_code(errno);
        return file;
    }
    if (::fstat(file.get(), &info) != 0) {
        error = system_error_code(errno);
        return FileDescriptor(-1);
    }
    if (!S_ISREG(info.st_mode)) {
        error = system_error_code(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        return FileDescriptor(-1);
    }
    return file;
}

// Reads `into` full unless the file ends first; the bytes read, or -1 with `error` set.
std::int64_t read_up_to(int fd, char* into, std::size_t size, lt::error_code& error) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, into + filled, size - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = system_error_code(errno);
            return -1;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(filled);
}

// The whole file, or nullopt with `error` set when it cannot be read or holds more than
// `limit` bytes (checked again while reading, for a file that grows meanwhile).
std::optional<std::vector<char>> read_whole_file(const fs::path& path,
                                                 std::uintmax_t limit,
                                                 lt::error_code& error) {
    struct stat info {};
    FileDescriptor file = open_regular_file(path, info, error);
    if (!file.is_open()) {
        return std::nullopt;
    }
    if (info.st_size < 0 || static_cast<std::uintmax_t>(info.st_size) > limit) {
        error = system_error_code(EFBIG);
        return std::nullopt;
    }
    // one spare byte, so that filling the buffer means the file grew past its measured size
    std::vector<char> buffer(static_cast<std::size_t>(info.st_size) + 1);
    const std::int64_t got = read_up_to(file.get(), buffer.data(), buffer.size(), error);
    if (got < 0) {
        return std::nullopt;
    }
    if (static_cast<std::size_t>(got) == buffer.size()) {
        error = system_error_code(EFBIG);
        return std::nullopt;
    }
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
}

// Writes a temporary file and renames it over the target, so the target is either the previous
// file or the complete new one, never a half-written torrent.
lt::error_code write_file_replacing(const fs::path& target, const std::vector<char>& data) {
    if (!target.has_filename()) {
        return system_error_code(EISDIR);
    }
    const fs::path temp = temporary_path_beside(target);
    FileDescriptor file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.is_open()) {
        return system_error_code(errno);
    }
    bool written = write_all(file.get(), data) && ::fsync(file.get()) == 0;
    int failure = written ? 0 : errno;
    if (!file.close() && written) {
        written = false;
        failure = errno;
    }
    if (written && ::rename(temp.c_str(), target.c_str()) != 0) {
        written = false;
        failure = errno;
    }
    if (!written) {
        ::unlink(temp.c_str());
        return system_error_code(failure != 0 ? failure : EIO);
    }
    return {};
}

// Two forms: ".velmora-<pid>-<n>.tmp" (and "-bulk-<n>") beside a record, "<file>.tmp-<pid>"
// beside the settings file.
std::optional<long> temporary_writer(std::string_view name) {
    constexpr std::string_view kRecordPrefix = ".velmora-";
    constexpr std::string_view kRecordSuffix = ".tmp";
    if (name.starts_with(kRecordPrefix) && name.ends_with(kRecordSuffix)) {
        const std::string_view rest = name.substr(kRecordPrefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == std::string_view::npos) {
            return std::nullopt;
        }
        return leading_number(rest.substr(0, dash));
    }
    constexpr std::string_view kSettingsMark = ".tmp-";
    const std::size_t mark = name.rfind(kSettingsMark);
    if (mark == std::string_view::npos || mark == 0) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(mark + kSettingsMark.size());
    if (digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return leading_number(digits);
}

void remove_stale_temporaries(const fs::path& folder) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const std::optional<long> writer = temporary_writer(entry.path().filename().native());
        if (!writer || !entry.is_regular_file(error)) {
            continue;
        }
        // a writer that still runs may be about to rename its temporary
        const bool running =
            *writer == ::getpid() || ::kill(static_cast<pid_t>(*writer), 0) == 0 || errno == EPERM;
        if (!running) {
            fs::remove(entry.path(), error);
        }
    }
}

}  // namespace velmora::lifecycle
