// Application folders from the XDG conventions, overridable for tests and portable runs.
#include "velmora/host/app_paths.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace velmora::host {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> env_text(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

fs::path without_trailing_separator(fs::path p) {
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/') {
        s.pop_back();
    }
    return s;
}

// Reads XDG_<key>_DIR from user-dirs.dirs ("$HOME/Downloads" or an absolute path).
std::optional<fs::path> user_dir(const PathEnvironment& env,
                                 const fs::path& home,
                                 const std::string& key) {
    const fs::path config = env.xdg_config_home ? fs::path(*env.xdg_config_home) : home / ".config";
    std::ifstream in(config / "user-dirs.dirs");
    const std::string prefix = "XDG_" + key + "_DIR=\"";
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 1 || line.back() != '"') {
            continue;
        }
        std::string value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        if (value.rfind("$HOME", 0) == 0) {
            return without_trailing_separator(home.string() + value.substr(5));
        }
        if (!value.empty() && value.front() == '/') {
            return without_trailing_separator(value);
        }
    }
    return std::nullopt;
}

}  // namespace

PathEnvironment PathEnvironment::from_process(std::optional<std::string> home_override) {
    PathEnvironment env;
    env.home_override = home_override ? home_override : env_text("VELMORA_HOME");
    env.xdg_data_home = env_text("XDG_DATA_HOME");
    env.xdg_config_home = env_text("XDG_CONFIG_HOME");
    env.home = env_text("HOME");
    env.tmpdir = env_text("TMPDIR");
    return env;
}

AppPaths make_app_paths(const PathEnvironment& env) {
    const fs::path home = env.home ? fs::path(*env.home) : fs::path("/tmp");
    AppPaths p;
    if (env.home_override) {
        p.appdata_folder = without_trailing_separator(fs::absolute(*env.home_override));
    } else {
        const fs::path data =
            env.xdg_data_home ? fs::path(*env.xdg_data_home) : home / ".local" / "share";
        p.appdata_folder = without_trailing_separator(data / kAppFolderName);
    }
    p.record_folder = p.appdata_folder / "VTR";
    p.user_record_folder = p.record_folder;
    p.language_folder = p.appdata_folder / "ISO-639-1";
    p.advanced_settings_file = p.appdata_folder / "advanced-client-settings.xml";
    p.log_folder = p.appdata_folder / "Log";
    p.desktop_folder = user_dir(env, home, "DESKTOP").value_or(home / "Desktop");
    p.default_download_folder = user_dir(env, home, "DOWNLOAD").value_or(home / "Downloads");
    p.user_download_folder = p.default_download_folder;
    p.temp_folder = env.tmpdir ? *env.tmpdir : "/tmp/";
    if (p.temp_folder.back() != '/') {
        p.temp_folder += '/';
    }
    return p;
}

void create_app_folders(const AppPaths& paths) {
    for (const auto* folder :
         {&paths.appdata_folder, &paths.record_folder, &paths.default_download_folder,
          &paths.language_folder, &paths.log_folder}) {
        std::error_code ignored;
        fs::create_directories(*folder, ignored);
    }
}

fs::path existing_or(const std::string& text, const fs::path& fallback) {
    std::error_code ec;
    if (!text.empty() && fs::exists(fs::symlink_status(text, ec))) {
        return text;
    }
    return fallback;
}

}  // namespace velmora::host
