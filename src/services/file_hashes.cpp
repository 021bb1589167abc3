// The digest worker: one file at a time, never the whole file in memory.
#include "velmora/services/file_hashes.h"

#include <array>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/services/file_kinds.h"

namespace velmora::services {
namespace {

namespace ev = bridge::event;
using bridge::UiMap;
using bridge::UiValue;

constexpr std::size_t kBlockBytes = 1U << 20U;
constexpr std::int32_t kNotListed = -1;

std::string upper_hex(const unsigned char* bytes, unsigned int size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2U * size);
    for (unsigned int i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4U];
        text += kDigits[bytes[i] & 0x0FU];
    }
    return text;
}

}  // namespace

std::optional<std::string> file_digest(const std::filesystem::path& path, Digest digest) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!context ||
        EVP_DigestInit_ex(context.get(), digest == Digest::Sha1 ? EVP_sha1() : EVP_md5(),
                          nullptr) != 1) {
        return std::nullopt;
    }
    std::vector<char> block(kBlockBytes);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got > 0 && EVP_DigestUpdate(context.get(), block.data(), got) != 1) {
            return std::nullopt;
        }
    }
    if (in.bad()) {
        return std::nullopt;  // an I/O error, not the end of the file
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), value.data(), &size) != 1) {
        return std::nullopt;
    }
    return upper_hex(value.data(), size);
}

FileHashQueue::FileHashQueue(bridge::UiEventSink& events,
                             RunFlags flags,
                             std::function<void(std::function<void()>)> start_worker)
    : events_(events), flags_(flags), start_worker_(std::move(start_worker)) {}

void FileHashQueue::add(HashRequest request) {
    const std::lock_guard lock(lock_);
    queue_.push_back(std::move(request));
}

std::int32_t FileHashQueue::queued() const {
    const std::lock_guard lock(lock_);
    return static_cast<std::int32_t>(queue_.size());
}

bool FileHashQueue::busy() const {
    const std::lock_guard lock(lock_);
    return busy_;
}

void FileHashQueue::start_next() {
    HashRequest front;
    {
        const std::lock_guard lock(lock_);
        if (busy_ || queue_.empty()) {
            return;
        }
        busy_ = true;  // set here, so that the next tick cannot start a second worker
        front = queue_.front();
    }
    start_worker_([this, front = std::move(front)] {
        try {
            work(front);
        } catch (...) {
            finish();  // a failed request never blocks the queue
        }
    });
}

void FileHashQueue::finish() {
    const std::lock_guard lock(lock_);
    if (!queue_.empty()) {
        queue_.pop_front();
    }
    busy_ = false;
}

void FileHashQueue::work(const HashRequest& request) {
    if (!flags_.running) {
        return;  // the process ends; the busy flag keeps further workers away
    }
    std::error_code ec;
    if (!std::filesystem::exists(request.path, ec) || flags_.exiting) {
        finish();
        return;
    }
    const UiValue listed = events_.ui_call(ev::kIndexFromHash, UiValue(request.torrent_hash));
    if (listed.is_int() && listed.as_int() == kNotListed) {
        finish();
        return;
    }
    // the trace goes to the error stream: standard output may carry the page channel
    std::cerr << "get_file_hashes: " << request.torrent_hash << '\n';
    if (request.want_sha1) {
        const auto sha1 = file_digest(request.path, Digest::Sha1);
        if (flags_.exiting) {
            return;
        }
        if (!sha1) {
            finish();  // unreadable now: the request is dropped, the page is not told
            return;
        }
        events_.ui_call(ev::kSetFileSha1,
                        UiMap{{"path", UiValue(request.path)},
                              {"torrent_hash", UiValue(request.torrent_hash)},
                              {"sha1", UiValue(*sha1)},
                              {"idx", UiValue(request.index)},
                              {"binary", UiValue(is_program_or_archive(request.path))}});
        if (flags_.exiting) {
            return;
        }
    }
    if (request.want_md5) {
        const auto md5 = file_digest(request.path, Digest::Md5);
        if (flags_.exiting) {
            return;
        }
        if (!md5) {
            finish();
            return;
        }
        events_.ui_call(ev::kSetFileMd5, UiMap{{"path", UiValue(request.path)},
                                               {"torrent_hash", UiValue(request.torrent_hash)},
                                               {"md5", UiValue(*md5)},
                                               {"idx", UiValue(request.index)}});
    }
    finish();
}

}  // namespace velmora::services
