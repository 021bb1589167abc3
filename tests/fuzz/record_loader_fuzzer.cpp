// A record file of arbitrary bytes through the record loader: every load either raises the one
// record error event and gives no torrent, or gives metadata and parameters that name the same
// torrent. Both load orders and the two-step load agree on which, and a loaded record, written
// back as the client writes it, loads again as the same torrent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/torrent_info.hpp>
#include <unistd.h>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/lifecycle/record_store.h"

namespace {

namespace fs = std::filesystem;
using velmora::bridge::UiValue;
using velmora::lifecycle::LoadOrder;
using velmora::lifecycle::RecordLoad;
using velmora::lifecycle::RecordStore;

constexpr std::string_view kShownName = "fuzzed.vtr";

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "record loader fuzzer: %s\n", what);
        std::abort();
    }
}

// Counts the record error events, each checked for its shape.
class RecordErrors final : public velmora::bridge::UiEventSink {
public:
    UiValue ui_call(std::string_view name, const UiValue& arg) override {
        require(name == velmora::bridge::event::kVtrError, "an event other than the record error");
        require(arg.is_array() && arg.as_array().size() == 4, "a record error of another shape");
        const UiValue& shown = arg.as_array()[1];
        require(shown.is_string() && shown.as_string() == kShownName,
                "a record error that does not name the record");
        ++raised;
        return UiValue();
    }
    int take() { return std::exchange(raised, 0); }

private:
    int raised = 0;
};

// One folder per process, gone when it ends.
const fs::path& work_folder() {
    struct Folder {
        Folder()
            : path(fs::temp_directory_path() /
                   ("velmora-record-fuzz-" + std::to_string(::getpid()))) {
            fs::create_directories(path / "written");
        }
        ~Folder() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
        fs::path path;
    };
    static const Folder folder;
    return folder.path;
}

// What the session needs to add the torrent: each hash the parameters carry is the metadata's.
void require_same_torrent(const lt::torrent_info& metadata, const lt::add_torrent_params& params) {
    const lt::info_hash_t& own = metadata.info_hashes();
    require(own.has_v1() || own.has_v2(), "metadata without a hash");
    require(!params.info_hashes.has_v1() || params.info_hashes.v1 == own.v1,
            "parameters with another v1 hash than their metadata");
    require(!params.info_hashes.has_v2() || params.info_hashes.v2 == own.v2,
            "parameters with another v2 hash than their metadata");
    require(params.ti == nullptr || params.ti->info_hashes() == own,
            "parameters whose own metadata is another torrent");
    require(velmora::engine::InfoHashHex::parse(velmora::engine::torrent_key(own)).has_value(),
            "a key that is not a key");
}

// Exactly one event for a failed load, none for one that worked.
std::optional<RecordLoad> checked_load(const RecordStore& store,
                                       RecordErrors& errors,
                                       const fs::path& file,
                                       LoadOrder order) {
    std::optional<RecordLoad> load = store.load_record(file, kShownName, order);
    const int raised = errors.take();
    if (!load) {
        require(raised == 1, "a refused record without its one error");
        return load;
    }
    require(raised == 0, "a loaded record with an error");
    require(load->metadata != nullptr, "a loaded record without metadata");
    require_same_torrent(*load->metadata, load->params);
    return load;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path file = work_folder() / "input.vtr";
    {
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    RecordErrors errors;
    const RecordStore store(work_folder() / "written", errors);

    std::optional<RecordLoad> load = checked_load(store, errors, file, LoadOrder::MetadataFirst);
    const std::optional<RecordLoad> other =
        checked_load(store, errors, file, LoadOrder::ResumeDataFirst);
    require(load.has_value() == other.has_value(), "the load order decides whether it loads");

    // the two steps of export and of opening a record file
    const std::optional<RecordStore::Decoded> decoded = store.load_metadata(file, kShownName);
    std::optional<lt::add_torrent_params> params;
    if (decoded) {
        params = store.read_resume_params(*decoded, kShownName);
    }
    require(errors.take() == (params ? 0 : 1), "the two-step load without its one error");
    require(params.has_value() == load.has_value(), "the two-step load decides otherwise");
    if (!load) {
        return 0;
    }
    require_same_torrent(*decoded->metadata, *params);
    require(decoded->metadata->info_hashes() == load->metadata->info_hashes(),
            "the two-step load gives another torrent");

    // written back as the client writes a record it loaded: its own metadata in the parameters
    const lt::info_hash_t hashes = load->metadata->info_hashes();
    const std::string key = velmora::engine::torrent_key(hashes);
    load->params.ti = load->metadata;
    store.write_record(key, load->params);
    const std::optional<RecordLoad> again =
        checked_load(store, errors, store.record_path(key), LoadOrder::MetadataFirst);
    require(again.has_value(), "a written record does not load");
    require(again->metadata->info_hashes() == hashes, "a written record is another torrent");
    store.delete_record(key);
    return 0;
}
