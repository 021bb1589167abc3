// A desktop that records the requests instead of opening anything.
#pragma once

#include <string>
#include <vector>

#include "velmora/host/desktop.h"

namespace velmora::test {

class RecordingDesktop final : public host::Desktop {
public:
    void open_file(const std::filesystem::path& file) override {
        requests.push_back("open_file " + file.string());
    }
    void open_folder(const std::filesystem::path& folder) override {
        requests.push_back("open_folder " + folder.string());
    }
    void show_in_folder(const std::filesystem::path& item) override {
        requests.push_back("show_in_folder " + item.string());
    }
    void play_default_sound() override { requests.emplace_back("sound"); }
    std::vector<std::filesystem::path> choose_torrent_files() override {
        requests.emplace_back("choose_torrent_files");
        return chosen_files;
    }

    std::vector<std::filesystem::path> chosen_files;  // what the dialog answers

    std::vector<std::string> requests;
};

}  // namespace velmora::test
