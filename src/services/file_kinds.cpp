#include "velmora/services/file_kinds.h"

#include <array>
#include <fstream>

namespace velmora::services {
namespace {

// An ELF image is what this platform recognises as a program.
constexpr std::array<std::string_view, 8> kSignatures = {
    std::string_view("\x4D\x5A", 2),
    std::string_view("\x1F\x9D", 2),
    std::string_view("\x1F\x8B\x08", 3),
    std::string_view("\x50\x4B\x03\x04", 4),
    std::string_view("\x52\x61\x72\x21\x1A\x07\x01\x00", 8),
    std::string_view("\x75\x73\x74\x61\x72", 5),
    std::string_view("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8),
    std::string_view("\x7F\x45\x4C\x46", 4),
};

}  // namespace

bool has_program_or_archive_signature(std::string_view first_bytes) {
    for (const auto signature : kSignatures) {
        if (first_bytes.substr(0, signature.size()) == signature) {
            return true;
        }
    }
    return false;
}

bool is_program_or_archive(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::array<char, 8> head{};
    in.read(head.data(), head.size());
    if (in.gcount() <= 0) {
        return false;
    }
    // the zeros after a short file's end take part in the comparison
    return has_program_or_archive_signature(std::string_view(head.data(), head.size()));
}

}  // namespace velmora::services
