// Reading and writing the advanced settings file with rapidxml.
#include "velmora/config/advanced_settings_xml.h"

// POSIX calls for a durable replace (fsync of the file and its folder), which the standard
// library cannot do; config sits below the platform layer, so they are used here directly.
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <rapidxml.hpp>
#include <rapidxml_print.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "velmora/config/settings_fields.h"

namespace velmora::config {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kExcerptChars = 150;
// A settings file is a few kilobytes; anything this large is not one.
constexpr std::size_t kMaxFileBytes = std::size_t{16} * 1024 * 1024;
// rapidxml descends one stack frame per element level; some tens of thousands of levels run the
// stack out. A settings file needs two.
constexpr int kMaxNesting = 256;
constexpr std::string_view kReferenceGuide = "https://www.libtorrent.org/reference-Settings.html";

constexpr std::string_view section_comment(SettingSection section) {
    switch (section) {
        case SettingSection::Bool:
            return "BOOL Settings";
        case SettingSection::Int:
            return "INT Settings";
        case SettingSection::Text:
            return "String Settings";
        case SettingSection::DhtInt:
            return "DHT INT Settings";
        case SettingSection::DhtBool:
            break;
    }
    return " DHT BOOL Settings";  // the blank is part of the file's shape
}

// "<what> - <excerpt>", the excerpt being the rest of the text from the error on; a rest longer
// than kExcerptChars gives the kExcerptChars that follow its first character.
std::string error_detail(std::string_view what, std::string_view text, std::size_t offset) {
    std::string_view rest = text.substr(std::min(offset, text.size()));
    rest = rest.substr(0, rest.find('\0'));  // the parser's text ends at the first NUL
    if (rest.size() > kExcerptChars) {
        rest = rest.substr(1, kExcerptChars);
    }
    std::string detail(what);
    detail += " - ";
    detail += rest;
    return detail;
}

// Where a start tag first lies deeper than kMaxNesting, if it does. Comments, CDATA,
// processing instructions and declarations are skipped, and quoted attribute values may hold
// '>'; a malformed text may be counted deeper than the parser would see it, never shallower.
std::optional<std::size_t> too_deep_at(std::string_view text) {
    int depth = 0;
    std::size_t at = text.find('<');
    while (at != std::string_view::npos) {
        const std::string_view tag = text.substr(at);
        std::size_t end = 0;
        if (tag.starts_with("<!--")) {
            end = text.find("-->", at + 4);
        } else if (tag.starts_with("<![CDATA[")) {
            end = text.find("]]>", at + 9);
        } else if (tag.starts_with("<?")) {
            end = text.find("?>", at + 2);
        } else if (tag.starts_with("</")) {
            --depth;
            end = at + 1;
        } else if (tag.starts_with("<!")) {
            end = at + 1;  // a document type; its declarations hold no elements
        } else {
            char quote = 0;
            for (end = at + 1; end < text.size(); ++end) {
                const char c = text[end];
                if (quote != 0) {
                    quote = c == quote ? char{0} : quote;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (end >= text.size() || text[end - 1] != '/') {
                if (++depth > kMaxNesting) {
                    return at;
                }
            }
        }
        if (end == std::string_view::npos || end >= text.size()) {
            break;
        }
        at = text.find('<', end + 1);
    }
    return std::nullopt;
}

void read_fields(const rapidxml::xml_node<>& element, ClientSettings& settings) {
    for (const SettingField& field : settings_fields()) {
        // case-sensitive, direct children only; of two equal elements the first wins
        const auto* node = element.first_node(field.name.data(), field.name.size());
        if (node != nullptr) {
            field.set_from_text(settings, std::string_view(node->value(), node->value_size()));
        }
    }
}

// The whole file, or an Error whose context is the detail shown for it.
Result<std::string> read_file_text(const fs::path& file) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (!ec && size > kMaxFileBytes) {
        return Error{std::make_error_code(std::errc::file_too_large),
                     "file of " + std::to_string(size) + " bytes refused - the limit is " +
                         std::to_string(kMaxFileBytes) + " bytes"};
    }
    std::string text;
    std::ifstream in(file, std::ios::binary);
    // bounded even when the size could not be known beforehand (a device, a growing file)
    constexpr std::size_t kChunk = 64 * 1024;
    while (in && text.size() <= kMaxFileBytes) {
        const std::size_t before = text.size();
        text.resize(before + kChunk);
        in.read(text.data() + before, static_cast<std::streamsize>(kChunk));
        text.resize(before + static_cast<std::size_t>(in.gcount()));
    }
    if (text.size() > kMaxFileBytes) {
        return Error{std::make_error_code(std::errc::file_too_large),
                     "file of more than " + std::to_string(kMaxFileBytes) +
                         " bytes refused - the limit is " + std::to_string(kMaxFileBytes) +
                         " bytes"};
    }
    return text;
}

rapidxml::xml_attribute<>* attribute(rapidxml::xml_document<>& doc,
                                     std::string_view name,
                                     std::string_view value) {
    return doc.allocate_attribute(name.data(), value.data(), name.size(), value.size());
}

// A node whose strings live in the document's pool, so they outlive the caller's texts.
rapidxml::xml_node<>* node(rapidxml::xml_document<>& doc,
                           rapidxml::node_type type,
                           std::string_view name,
                           std::string_view value) {
    const char* pooled = value.empty() ? "" : doc.allocate_string(value.data(), value.size());
    return doc.allocate_node(type, name.empty() ? nullptr : name.data(), pooled, name.size(),
                             value.size());
}

// Reads errno before anything can change it.
Error os_error(const char* operation, const fs::path& path) {
    const std::error_code code(errno, std::system_category());
    return Error{code, std::string(operation) + " " + path.string()};
}

Result<void> write_and_sync(int fd, std::string_view text, const fs::path& temp) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return os_error("write", temp);
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fsync(fd) != 0) {
        return os_error("flush", temp);
    }
    return {};
}

// Replaces `file` by `text` atomically: the file holds either its old content or the new.
Result<void> replace_file(const fs::path& file, std::string_view text) {
    // The exit save and the periodic save run on different threads and share one temporary name.
    static std::mutex one_writer;
    const std::lock_guard lock(one_writer);

    const fs::path temp = fs::path(file).concat(".tmp-" + std::to_string(::getpid()));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return os_error("create", temp);
    }
    // keep the permissions the user gave the file (it holds the proxy password); best effort
    struct stat old_file {};
    if (::stat(file.c_str(), &old_file) == 0) {
        ::fchmod(fd, old_file.st_mode & 07777);
    }
    Result<void> done = write_and_sync(fd, text, temp);
    if (::close(fd) != 0 && done) {
        done = os_error("close", temp);
    }
    if (done && ::rename(temp.c_str(), file.c_str()) != 0) {
        done = os_error("replace", file);
    }
    if (!done) {
        ::unlink(temp.c_str());
        return done;
    }
    // The new file is in place; a folder that cannot be flushed (some file systems refuse)
    // only leaves the rename's durability unconfirmed, so it is not a failure of the save.
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const int folder_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd >= 0) {
        ::fsync(folder_fd);
        ::close(folder_fd);
    }
    return {};
}

}  // namespace

std::optional<PreRunError> load_advanced_settings_text(std::string_view text,
                                                       ClientSettings& settings) {
    if (const auto deep = too_deep_at(text)) {
        return PreRunError{
            kSettingsParseErrorText,
            error_detail("elements nested more than " + std::to_string(kMaxNesting) + " deep", text,
                         *deep)};
    }
    // rapidxml parses in place (it writes terminators and resolves entities), so it gets a
    // mutable copy; `text` stays as it was for the error excerpt. It skips a UTF-8 BOM itself.
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    rapidxml::xml_document<> doc;
    try {
        doc.parse<0>(buffer.data());
    } catch (const rapidxml::parse_error& e) {
        const auto offset = static_cast<std::size_t>(e.where<char>() - buffer.data());
        return PreRunError{kSettingsParseErrorText, error_detail(e.what(), text, offset)};
    }
    // With the default flags the parser keeps elements only: no declaration, comment or text
    // node stands before the document element.
    const rapidxml::xml_node<>* element = doc.first_node();
    if (element == nullptr) {
        return std::nullopt;
    }
    // filled in a copy, so that `settings` changes whole or not at all
    ClientSettings read = settings;
    read_fields(*element, read);
    settings = std::move(read);
    return std::nullopt;
}

std::optional<PreRunError> load_advanced_settings(const fs::path& file, ClientSettings& settings) {
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        return std::nullopt;  // the first save creates it
    }
    Result<std::string> text = read_file_text(file);
    if (!text) {
        return PreRunError{kSettingsParseErrorText, text.error().context};
    }
    return load_advanced_settings_text(*text, settings);
}

std::string advanced_settings_xml(const ClientSettings& settings) {
    using rapidxml::node_comment;
    using rapidxml::node_element;
    rapidxml::xml_document<> doc;
    auto* declaration = doc.allocate_node(rapidxml::node_declaration);
    declaration->append_attribute(attribute(doc, "version", "1.0"));
    declaration->append_attribute(attribute(doc, "encoding", "utf-8"));
    doc.append_node(declaration);

    auto* root = doc.allocate_node(node_element, "root");
    root->append_attribute(attribute(doc, "Platform", "Windows x64"));
    root->append_attribute(attribute(doc, "Version", kAppVersion));
    root->append_attribute(attribute(doc, "Reference_Guide", kReferenceGuide));
    root->append_attribute(attribute(doc, "GUID", kAppGuid));
    doc.append_node(root);

    std::optional<SettingSection> section;
    for (const SettingField& field : settings_fields()) {
        if (field.section != section) {
            section = field.section;
            root->append_node(node(doc, node_comment, {}, section_comment(field.section)));
        }
        const std::string text = field_text(field, settings);
        // the reader takes a NUL as the end of the file, so a text stops before one
        root->append_node(node(doc, node_element, field.name, text.substr(0, text.find('\0'))));
    }
    std::string out;
    rapidxml::print(std::back_inserter(out), doc);
    return out;
}

Result<void> write_advanced_settings(const fs::path& file, const ClientSettings& settings) {
    return replace_file(file, advanced_settings_xml(settings));
}

bool save_advanced_settings(const fs::path& file, const ClientSettings& settings) {
    return write_advanced_settings(file, settings).has_value();
}

}  // namespace velmora::config
