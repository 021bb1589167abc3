// Desktop entries and mimeapps.list, written so that the user's own lines survive every
// registration and a failed write never leaves a half-written file behind.
#include "velmora/platform/linux/xdg_shell.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velmora/platform/linux/child_spawn.h"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTorrentType = "application/x-bittorrent";
constexpr std::string_view kMagnetType = "x-scheme-handler/magnet";
constexpr std::string_view kRecordType = "application/x-vtr";
constexpr std::string_view kDefaultsGroup = "Default Applications";
constexpr std::string_view kAddedGroup = "Added Associations";
constexpr std::string_view kRemovedGroup = "Removed Associations";
constexpr std::string_view kEntryGroup = "Desktop Entry";

constexpr std::string_view kMimePackage =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
    "  <mime-type type=\"application/x-vtr\">\n"
    "    <comment>Velmora torrent record</comment>\n"
    "    <glob pattern=\"*.vtr\"/>\n"
    "  </mime-type>\n"
    "</mime-info>\n";

std::error_code last_error() {
    return {errno, std::generic_category()};
}

// Within one call each file is reported at most once, however many steps fail on it.
class ReportOnce {
public:
    explicit ReportOnce(const host::Shell::ErrorReport& report) : report_(report) {}

    void operator()(const std::error_code& error, const fs::path& file) {
        if (report_ && reported_.insert(file.string()).second) {
            report_(error.message(), file.string());
        }
    }

private:
    const host::Shell::ErrorReport& report_;
    std::set<std::string> reported_;
};

enum class ReadResult { Read, Missing, Failed };

ReadResult read_text(const fs::path& file, std::string& text, ReportOnce& report) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // a folder on the way that is a file means the file cannot exist either
        if (errno == ENOENT || errno == ENOTDIR) {
            return ReadResult::Missing;
        }
        report(last_error(), file);
        return ReadResult::Failed;
    }
    text.clear();
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            report(last_error(), file);
            ::close(fd);
            return ReadResult::Failed;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return ReadResult::Read;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// Written beside the file and renamed over it, so readers see the old or the new text, never a
// part. A link (dotfile managers keep mimeapps.list as one) is written through, not replaced.
bool write_text(const fs::path& file, std::string_view text, ReportOnce& report) {
    std::error_code error;
    fs::path target = file;
    if (fs::is_symlink(file, error)) {
        if (auto resolved = fs::canonical(file, error); !error) {
            target = std::move(resolved);
        }
    }
    fs::create_directories(target.parent_path(), error);
    if (error) {
        report(error, file);
        return false;
    }
    const fs::path temp = target.parent_path() / ("." + target.filename().string() + ".velmora-" +
                                                  std::to_string(::getpid()));
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        report(last_error(), file);
        return false;
    }
    bool ok = write_all(fd, text);
    if (!ok) {
        error = last_error();
    }
    struct stat existing {};
    if (ok && ::stat(target.c_str(), &existing) == 0) {
        ::fchmod(fd, existing.st_mode & 07777);  // the user's choice of mode stays
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = last_error();
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        error = last_error();
    }
    if (!ok) {
        ::unlink(temp.c_str());
        report(error, file);
    }
    return ok;
}

void remove_file(const fs::path& file, ReportOnce& report) {
    if (::unlink(file.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
        report(last_error(), file);
    }
}

// --- key files (desktop entries, mimeapps.list): kept as lines so untouched ones stay as they
// were, comments and odd spacing included.

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += '\n';
    }
    return text;
}

std::optional<std::string_view> group_of(std::string_view line) {
    line = trim(line);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') {
        return std::nullopt;
    }
    return line.substr(1, line.size() - 2);
}

// The key a "key=value" line sets; nothing for comments, blanks and headers.
std::optional<std::string_view> key_of(std::string_view line) {
    const auto trimmed = trim(line);
    const auto equals = trimmed.find('=');
    if (trimmed.empty() || trimmed.front() == '#' || equals == std::string_view::npos) {
        return std::nullopt;
    }
    return trim(trimmed.substr(0, equals));
}

std::string_view value_of_line(std::string_view line) {
    return trim(line.substr(line.find('=') + 1));
}

std::optional<std::string> find_value(const std::vector<std::string>& lines,
                                      std::string_view group,
                                      std::string_view key) {
    bool in_group = false;
    for (const auto& line : lines) {
        if (auto name = group_of(line)) {
            in_group = *name == group;
        } else if (in_group && key_of(line) == key) {
            return std::string(value_of_line(line));
        }
    }
    return std::nullopt;
}

// Removes every line setting `key` in groups named `group`; the index the first one had.
std::optional<std::size_t> erase_key(std::vector<std::string>& lines,
                                     std::string_view group,
                                     std::string_view key) {
    std::optional<std::size_t> first;
    bool in_group = false;
    for (std::size_t i = 0; i < lines.size();) {
        if (auto name = group_of(lines[i])) {
            in_group = *name == group;
        } else if (in_group && key_of(lines[i]) == key) {
            if (!first) {
                first = i;
            }
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    return first;
}

// One line for the key, where it stood before or else at the end of the group's entries.
void set_value(std::vector<std::string>& lines,
               std::string_view group,
               std::string_view key,
               std::string_view value) {
    const std::string entry = std::string(key) + "=" + std::string(value);
    if (auto at = erase_key(lines, group, key)) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*at), entry);
        return;
    }
    std::size_t header = 0;
    while (header < lines.size() && group_of(lines[header]) != group) {
        ++header;
    }
    if (header == lines.size()) {
        if (!lines.empty() && !trim(lines.back()).empty()) {
            lines.emplace_back();
        }
        lines.push_back("[" + std::string(group) + "]");
        lines.push_back(entry);
        return;
    }
    std::size_t end = header + 1;
    while (end < lines.size() && !group_of(lines[end])) {
        ++end;
    }
    while (end > header + 1 && trim(lines[end - 1]).empty()) {
        --end;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(end), entry);
}

std::vector<std::string> split_list(std::string_view list) {
    std::vector<std::string> items;
    while (!list.empty()) {
        const auto end = list.find(';');
        if (auto item = trim(list.substr(0, end)); !item.empty()) {
            items.emplace_back(item);
        }
        if (end == std::string_view::npos) {
            break;
        }
        list.remove_prefix(end + 1);
    }
    return items;
}

std::string list_without_us(std::string_view list) {
    std::string kept;
    for (const auto& item : split_list(list)) {
        if (item != kDesktopEntryName) {
            kept += item + ";";
        }
    }
    return kept;
}

// Default and first among the added ones; the other programs the user associated stay
// associated, and an earlier removal of the client is undone.
void make_us_default(std::vector<std::string>& lines, std::string_view type) {
    const std::string ours = kDesktopEntryName;
    set_value(lines, kDefaultsGroup, type, ours);
    const auto added = find_value(lines, kAddedGroup, type).value_or("");
    set_value(lines, kAddedGroup, type, ours + ";" + list_without_us(added));
    if (auto removed = find_value(lines, kRemovedGroup, type)) {
        if (const auto rest = list_without_us(*removed); rest.empty()) {
            erase_key(lines, kRemovedGroup, type);
        } else {
            set_value(lines, kRemovedGroup, type, rest);
        }
    }
}

bool we_are_default(const std::vector<std::string>& lines, std::string_view type) {
    const auto value = find_value(lines, kDefaultsGroup, type);
    if (!value) {
        return false;
    }
    const auto items = split_list(*value);
    return !items.empty() && items.front() == kDesktopEntryName;
}

std::string escape_entry_string(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string unescape_entry_string(std::string_view text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        switch (const char next = text[++i]) {
            case 's':
                plain += ' ';
                break;
            case 'n':
                plain += '\n';
                break;
            case 't':
                plain += '\t';
                break;
            case 'r':
                plain += '\r';
                break;
            case '\\':
                plain += '\\';
                break;
            default:
                plain += '\\';
                plain += next;
        }
    }
    return plain;
}

// --- the desktop's cache tools

// Output is discarded and the wait is bounded, so that a stuck tool cannot hold the window;
// one that overruns is reaped in the background. A tool that is not installed is not run.
constexpr std::chrono::milliseconds kToolWait{5000};

void run_tool(const std::vector<std::string>& argv) {
    spawn_quiet(argv, ProgramLookup::SearchPath, kToolWait);
}

// An entry a session would start something from: it reads and has an Exec.
bool names_a_program(const fs::path& entry_file, ReportOnce& report) {
    std::string entry;
    if (read_text(entry_file, entry, report) != ReadResult::Read) {
        return false;
    }
    const auto exec = find_value(split_lines(entry), kEntryGroup, "Exec");
    return exec && !exec->empty();
}

fs::path home_folder() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? fs::path(home) : fs::path("/");
}

fs::path xdg_folder(const char* variable, const fs::path& fallback_below_home) {
    const char* value = std::getenv(variable);
    if (value != nullptr && fs::path(value).is_absolute()) {
        return value;
    }
    return home_folder() / fallback_below_home;
}

}  // namespace

ShellFolders shell_folders_from_environment() {
    return {xdg_folder("XDG_CONFIG_HOME", ".config"),
            xdg_folder("XDG_DATA_HOME", fs::path(".local") / "share")};
}

std::string exec_program_word(const std::string& program) {
    // the characters that make the desktop split or expand an unquoted word
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quoted = program.empty() || program.find_first_of(kReserved) != std::string::npos;
    std::string word = quoted ? "\"" : "";
    for (const char c : program) {
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            word += '\\';
        }
        if (c == '%') {
            word += '%';  // a lone one would start a field code
        }
        word += c;
    }
    if (quoted) {
        word += '"';
    }
    return escape_entry_string(word);
}

std::string exec_program(const std::string& exec_value) {
    const std::string value = unescape_entry_string(exec_value);
    std::size_t at = value.find_first_not_of(" \t\n");
    if (at == std::string::npos) {
        return {};
    }
    const bool quoted = value[at] == '"';
    if (quoted) {
        ++at;
    }
    std::string program;
    for (; at < value.size(); ++at) {
        char c = value[at];
        if (quoted ? c == '"' : (c == ' ' || c == '\t' || c == '\n')) {
            return program;
        }
        if ((quoted && c == '\\') || (c == '%' && value.compare(at, 2, "%%") == 0)) {
            if (++at == value.size()) {
                break;
            }
            c = value[at];
        }
        program += c;
    }
    return quoted ? std::string() : program;  // a quote left open names nothing
}

XdgShell::XdgShell(ShellFolders folders, std::filesystem::path exe)
    : folders_(std::move(folders)), exe_(std::move(exe)) {}

std::filesystem::path XdgShell::desktop_entry_path() const {
    return folders_.data_home / "applications" / kDesktopEntryName;
}

std::filesystem::path XdgShell::mime_package_path() const {
    return folders_.data_home / "mime" / "packages" / "velmora-vtr.xml";
}

std::filesystem::path XdgShell::mimeapps_path() const {
    return folders_.config_home / "mimeapps.list";
}

std::filesystem::path XdgShell::autostart_path() const {
    return folders_.config_home / "autostart" / kDesktopEntryName;
}

std::string XdgShell::desktop_entry_text() const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Velmora\n"
           "Exec=" +
           exec_program_word(exe_.string()) +
           " %u\n"
           "Icon=velmora\n"
           "Terminal=false\n"
           "MimeType=" +
           std::string(kTorrentType) + ";" + std::string(kMagnetType) + ";" +
           std::string(kRecordType) +
           ";\n"
           "Categories=Network;FileTransfer;P2P;\n";
}

std::string XdgShell::autostart_text() const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Velmora\n"
           "Exec=" +
           exec_program_word(exe_.string()) +
           " /m\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void XdgShell::register_associations(const ErrorReport& report) {
    ReportOnce once(report);
    write_text(desktop_entry_path(), desktop_entry_text(), once);
    if (write_text(mime_package_path(), kMimePackage, once)) {
        run_tool({"update-mime-database", (folders_.data_home / "mime").string()});
    }
    // an existing list that cannot be read is left alone rather than replaced by ours alone
    std::string mimeapps;
    if (read_text(mimeapps_path(), mimeapps, once) != ReadResult::Failed) {
        auto lines = split_lines(mimeapps);
        for (const auto type : {kTorrentType, kMagnetType, kRecordType}) {
            make_us_default(lines, type);
        }
        write_text(mimeapps_path(), join_lines(lines), once);
    }
    run_tool({"update-desktop-database", "-q", (folders_.data_home / "applications").string()});
}

bool XdgShell::is_default_client(const ErrorReport& report) {
    ReportOnce once(report);
    std::string mimeapps;
    if (read_text(mimeapps_path(), mimeapps, once) != ReadResult::Read) {
        return false;
    }
    const auto lines = split_lines(mimeapps);
    if (!we_are_default(lines, kMagnetType) || !we_are_default(lines, kTorrentType)) {
        return false;
    }
    // an entry left behind by a copy that has since moved would launch nothing
    std::string entry;
    if (read_text(desktop_entry_path(), entry, once) != ReadResult::Read) {
        return false;
    }
    const auto exec = find_value(split_lines(entry), kEntryGroup, "Exec");
    return exec && exec_program(*exec) == exe_.string();
}

bool XdgShell::set_run_at_log_on(bool on, const ErrorReport& report) {
    ReportOnce once(report);
    if (on) {
        write_text(autostart_path(), autostart_text(), once);
    } else {
        remove_file(autostart_path(), once);
    }
    return names_a_program(autostart_path(), once);
}

bool XdgShell::runs_at_log_on(const ErrorReport& report) {
    ReportOnce once(report);
    return names_a_program(autostart_path(), once);
}

}  // namespace velmora::platform
