// The advanced settings file: an XML copy of most client settings that users may edit by hand.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/config/client_settings.h"
#include "velmora/config/result.h"

namespace velmora::config {

// UI text "advanced-client-settings.xml Parsing Error".
inline constexpr int kSettingsParseErrorText = 58;

// An entry of the start-up error list, handed to the page once it has loaded.
struct PreRunError {
    int ui_text_id = 0;
    std::string detail;
};

// Reads the file, if something exists at its path, into `settings`. A file that cannot be opened
// reads as empty and changes nothing. A file that does not parse (or is too large or too deeply
// nested to be a settings file) changes no field and gives back {58, "<what> - <excerpt>"}.
// Thread: any; nothing else may touch `settings` meanwhile.
std::optional<PreRunError> load_advanced_settings(const std::filesystem::path& file,
                                                  ClientSettings& settings);

// The same rules, from the text of a file.
std::optional<PreRunError> load_advanced_settings_text(std::string_view text,
                                                       ClientSettings& settings);

// The whole text of the file for these settings.
std::string advanced_settings_xml(const ClientSettings& settings);

// Writes the whole file through a temporary file beside it, flushed to disk and renamed over the
// old one, so a crash or a full disk never leaves a cut-off file. On failure the old file is
// untouched, no temporary file is left, and the error names the step and the path.
// Thread: any; concurrent saves are serialised. Pass a copy if another thread may change texts.
Result<void> write_advanced_settings(const std::filesystem::path& file,
                                     const ClientSettings& settings);

// write_advanced_settings, reduced to whether it succeeded.
bool save_advanced_settings(const std::filesystem::path& file, const ClientSettings& settings);

}  // namespace velmora::config
