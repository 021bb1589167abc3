// Editing a torrent file of arbitrary bytes: it is refused with an event, or the new file keeps
// the info dictionary, and so the torrent's identity, of the one it was made from.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include <libtorrent/torrent_info.hpp>
#include <unistd.h>

#include "velmora/bridge/ui_event_sink.h"
#include "velmora/lifecycle/torrent_creation.h"

namespace {

namespace fs = std::filesystem;
using velmora::bridge::UiArray;
using velmora::bridge::UiValue;

class CountingEvents final : public velmora::bridge::UiEventSink {
public:
    UiValue ui_call(std::string_view, const UiValue&) override {
        ++raised;
        return UiValue();
    }
    int raised = 0;
};

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "torrent edit fuzzer: %s\n", what);
        std::abort();
    }
}

const fs::path& work_folder() {
    static const fs::path folder = [] {
        fs::path f =
            fs::temp_directory_path() / ("velmora-edit-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(f);
        return f;
    }();
    return folder;
}

UiArray texts(std::initializer_list<const char*> items) {
    UiArray out;
    for (const char* item : items) {
        out.emplace_back(item);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path input = work_folder() / "input.torrent";
    const fs::path output_folder = work_folder() / "out";
    std::error_code ignored;
    fs::remove_all(output_folder, ignored);
    fs::create_directories(output_folder);
    {
        std::ofstream(input, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // folder, comment, creator, collections, nodes, similar, trackers, web seeds, file, name
    const UiValue options(
        UiArray{UiValue(output_folder.string()), UiValue("a comment"), UiValue("a creator"),
                UiValue(texts({"a collection"})), UiValue(texts({"127.0.0.1:6881", "::1", ":"})),
                UiValue(texts({"0123456789abcdef0123456789abcdef01234567"})),
                UiValue(texts({"http://127.0.0.1:1/announce", "", "udp://127.0.0.1:2"})),
                UiValue(texts({"http://127.0.0.1:3/", "http://127.0.0.1:4/file"})),
                UiValue(input.string()), UiValue("edited.torrent")});
    CountingEvents events;
    velmora::lifecycle::edit_torrent_file(options, events);

    const fs::path written = output_folder / "edited.torrent";
    lt::error_code input_error;
    const lt::torrent_info original(lt::span<const char>(reinterpret_cast<const char*>(data),
                                                         static_cast<std::ptrdiff_t>(size)),
                                    input_error, lt::from_span);
    if (!fs::exists(written)) {
        require(events.raised > 0, "nothing written and nothing said");
        return 0;
    }
    require(events.raised == 0, "written, yet an error was raised");
    lt::error_code output_error;
    const lt::torrent_info edited(written.string(), output_error);
    require(!output_error, "the edited file does not load");
    if (!input_error) {
        require(edited.info_hashes() == original.info_hashes(), "the info-hash changed");
    }
    require(edited.creator() == "a creator", "the creator is not the one asked for");
    return 0;
}
