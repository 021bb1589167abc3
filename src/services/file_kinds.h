// Whether a file is a program or an archive: the kinds a user should think twice about before
// opening from a torrent.
#pragma once

#include <filesystem>
#include <string_view>

namespace velmora::services {

// The first bytes of a file (up to 8) against the known signatures: program images (DOS/Windows
// and ELF), compress, gzip, zip, RAR 5, tar and compound documents.
bool has_program_or_archive_signature(std::string_view first_bytes);

// False for a file that cannot be opened; bytes beyond the end of a short file count as 0.
bool is_program_or_archive(const std::filesystem::path& path);

}  // namespace velmora::services
