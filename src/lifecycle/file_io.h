// Whole-file reads and writes for the files the client makes and reads back: records and
// torrent files. A reader never blocks on a FIFO or a device, a writer never leaves a
// half-written file where the old one was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <libtorrent/error_code.hpp>
#include <sys/stat.h>

namespace velmora::lifecycle {

lt::error_code system_error_code(int value);

// Writes all of `data` at the descriptor's position; false on a write error.
bool write_all(int fd, const std::vector<char>& data);

// Owns a file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;

    bool is_open() const { return fd_ >= 0; }
    int get() const { return fd_; }
    // close() can report a late write error, so a writer must see its result.
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Opens a regular file for reading; anything else (a FIFO, a device, a folder) is refused with
// `error` set, and so is a file that cannot be opened.
FileDescriptor open_regular_file(const std::filesystem::path& path,
                                 struct stat& info,
                                 lt::error_code& error);

// Reads `into` full unless the file ends first; the bytes read, or -1 with `error` set.
std::int64_t read_up_to(int fd, char* into, std::size_t size, lt::error_code& error);

// The whole regular file, or nullopt with `error` set when it cannot be read or holds more than
// `limit` bytes (checked again while reading, for a file that grows meanwhile).
std::optional<std::vector<char>> read_whole_file(const std::filesystem::path& path,
                                                 std::uintmax_t limit,
                                                 lt::error_code& error);

// Writes a temporary file beside the target, on the disk, and renames it over the target: the
// target is either the previous file or the complete new one. When two writes overlap, the
// later rename is the one that stays.
lt::error_code write_file_replacing(const std::filesystem::path& target,
                                    const std::vector<char>& data);

// The process that wrote a temporary file of a replacing write (the records' or the settings'),
// read from its name; nullopt for every other name.
std::optional<long> temporary_writer(std::string_view name);

// Removes the temporaries in `folder` (not below it) whose writer is no longer running. A
// writer killed between its write and its rename leaves one behind; nothing else removes it.
void remove_stale_temporaries(const std::filesystem::path& folder);

}  // namespace velmora::lifecycle
