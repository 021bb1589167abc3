// How the page URL reaches the user: a private file, a browser window, or standard output.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velmora::platform {

// Writes `url` and a newline to `file` with mode 0600, replacing any old file at once (a
// reader never sees a partial URL). False with `error` set on failure.
bool write_url_file(const std::filesystem::path& file, std::string_view url, std::string& error);

// Writes a small page (mode 0600) that forwards the browser to `url`, so the token appears in
// no command line that other users can read. False with `error` set on failure.
bool write_launch_page(const std::filesystem::path& file, std::string_view url, std::string& error);

// Starts `xdg-open <target>` in its own session and returns at once; a reaper thread
// collects its exit. False when it could not be started.
bool open_with_desktop(const std::string& target);

// One line "Velmora page: <url>" on standard output, flushed.
void print_page_url(std::string_view url);

}  // namespace velmora::platform
