// Torrent files made from disk, exported from records and edited around their info dictionary.
#include "velmora/lifecycle/torrent_creation.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/mmap_disk_io.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_info.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "velmora/bridge/event_names.h"
#include "velmora/engine/client_functions.h"
#include "velmora/engine/error_translation.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/lifecycle/file_io.h"

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;
using bridge::UiArray;
using bridge::UiValue;

constexpr const char* kCreatorText = "Velmora";
constexpr std::int32_t kTorrentCreatedText = 19;
constexpr std::int32_t kFailedToCreateText = 20;
constexpr std::int32_t kErrorCreatingText = 30;
// Bounds what one page request can make the builder hold; far beyond any real torrent's lists.
constexpr std::size_t kMostListEntries = 10'000;
constexpr std::uintmax_t kLargestCertificateBytes = 1024 * 1024;
// Below one block a piece buys nothing, and tiny pieces of a large source would queue millions
// of reads at once.
constexpr std::int32_t kSmallestPieceBytes = 16 * 1024;
constexpr int kBlockBytes = 16 * 1024;
constexpr std::size_t kHashChunkBytes = 1024 * 1024;
// What the pages show for a torrent file that could not be read at all, as for a record.
constexpr std::int32_t kNoErrorKind = -1;
constexpr std::int32_t kUnknownErrorText = 193;

// Thrown from the hashing progress callback: the engine lets it pass out of set_piece_hashes,
// which stops reading as early as it can.
struct Abandoned {};

// ---- page values ----

std::string text_of(const UiValue& value) {
    return value.is_string() ? value.as_string() : std::string();
}

std::string text_at(const UiValue& array, std::size_t index) {
    return text_of(array.at_index(index));
}

// Entries keep their positions (a tracker's tier is its position); mistyped ones read as empty.
std::vector<std::string> texts_of(const UiValue& list) {
    std::vector<std::string> out;
    if (!list.is_array()) {
        return out;
    }
    const UiArray& items = list.as_array();
    const std::size_t count = std::min(items.size(), kMostListEntries);
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(text_of(items[i]));
    }
    return out;
}

TorrentFormat format_from(std::int32_t option) {
    if (option == 0) {
        return TorrentFormat::V1;
    }
    return option == 2 ? TorrentFormat::Hybrid : TorrentFormat::V2;
}

// ---- events ----

std::string file_name_of(const fs::path& output) {
    return output.filename().string();
}

// The name the creation events show: the output's base name as a torrent file.
std::string created_name_of(const fs::path& output) {
    return output.stem().string() + ".torrent";
}

void raise_success(bridge::UiEventSink& events, std::string shown_name, const fs::path& output) {
    UiArray arg{UiValue(kTorrentCreatedText), UiValue(std::move(shown_name)), UiValue(true),
                UiValue(output.string())};
    events.ui_call(bridge::event::kPostSuccess, UiValue(std::move(arg)));
}

void raise_no_format(bridge::UiEventSink& events, std::int32_t text_id, std::string shown_name) {
    UiArray arg{UiValue(text_id), UiValue(std::move(shown_name)), UiValue(true)};
    events.ui_call(bridge::event::kPostNoFormatError, UiValue(std::move(arg)));
}

void raise_create_error(bridge::UiEventSink& events,
                        const lt::error_code& error,
                        std::string shown_name) {
    engine::ErrorReport report = engine::translate_error(error);
    UiArray arg{UiValue(std::move(report.message)), UiValue(std::move(shown_name)),
                UiValue(report.kind), UiValue(report.text_id), UiValue(true)};
    events.ui_call(bridge::event::kCreateTorrentError, UiValue(std::move(arg)));
}

void raise_torrent_file_error(bridge::UiEventSink& events,
                              std::string message,
                              std::string shown_name,
                              std::int32_t kind,
                              std::int32_t text_id) {
    UiArray arg{UiValue(std::move(message)), UiValue(std::move(shown_name)), UiValue(kind),
                UiValue(text_id)};
    events.ui_call(bridge::event::kVtrError, UiValue(std::move(arg)));
}

void raise_torrent_file_error(bridge::UiEventSink& events,
                              const lt::error_code& error,
                              std::string shown_name) {
    engine::ErrorReport report = engine::translate_error(error);
    raise_torrent_file_error(events, std::move(report.message), std::move(shown_name), report.kind,
                             report.text_id);
}

// Any exception as an engine error the pages can show.
lt::error_code error_of_current_exception() {
    try {
        throw;
    } catch (const lt::system_error& e) {
        return e.code();
    } catch (const std::system_error& e) {
        const std::error_category& category = e.code().category();
        if (category == std::system_category() || category == std::generic_category()) {
            return system_error_code(e.code().value());
        }
        return system_error_code(EIO);
    } catch (const std::bad_alloc&) {
        return system_error_code(ENOMEM);
    } catch (const std::exception&) {
        return system_error_code(EIO);
    }
}

// ---- files ----

// A path in one spelling: absolute, normalised, without a trailing separator, so that its
// parent is the folder that holds it.
fs::path plain_path(const fs::path& path) {
    std::error_code ignored;
    fs::path out = fs::absolute(path, ignored).lexically_normal();
    if (!out.has_filename() && out.has_relative_path()) {
        out = out.parent_path();
    }
    return out;
}

// The file a page's output path names; nullopt for a path that names no file ("", a folder
// with a trailing separator, "." or "..").
std::optional<fs::path> output_file(const fs::path& path) {
    const fs::path name = path.filename();
    if (name.empty() || name == "." || name == "..") {
        return std::nullopt;
    }
    return plain_path(path);
}

// One hashing thread per core: a creation has the disk to itself, and the engine's default of
// one thread leaves the others idle while the user waits.
lt::settings_pack hashing_settings() {
    lt::settings_pack pack;
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    pack.set_int(lt::settings_pack::hashing_threads, static_cast<int>(cores));
    return pack;
}

// ---- the builder's extra data, shared by the three ways of making a torrent ----

void add_trackers(lt::create_torrent& builder, const std::vector<std::string>& urls) {
    for (std::size_t tier = 0; tier < urls.size(); ++tier) {
        if (!urls[tier].empty()) {
            builder.add_tracker(urls[tier], static_cast<int>(tier));
        }
    }
}

bool is_url_seed(const std::string& url) {
    return url.back() == '/';
}

// A URL ending in "/" names a folder to add the torrent's paths to; any other names the file
// server of the older kind. Seeds the builder already carries (from `present`) are not added
// twice.
void add_web_seeds(lt::create_torrent& builder,
                   const std::vector<std::string>& urls,
                   const std::vector<lt::web_seed_entry>& present = {}) {
    for (const std::string& url : urls) {
        if (url.empty()) {
            continue;
        }
        const auto type =
            is_url_seed(url) ? lt::web_seed_entry::url_seed : lt::web_seed_entry::http_seed;
        const bool known = std::any_of(present.begin(), present.end(), [&](const auto& seed) {
            return seed.url == url && seed.type == type;
        });
        if (known) {
            continue;
        }
        if (type == lt::web_seed_entry::url_seed) {
            builder.add_url_seed(url);
        } else {
            builder.add_http_seed(url);
        }
    }
}

// A decimal number with an optional sign, all of the text, within 32 bits.
std::optional<std::int32_t> decimal_int32(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr std::int64_t kMagnitudeLimit = std::int64_t{1} << 31;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > kMagnitudeLimit) {
            return std::nullopt;
        }
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

// "host:port"; a text without exactly one colon or with a port that is not a number is none.
std::optional<std::pair<std::string, int>> dht_node_from(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<std::int32_t> port = decimal_int32(text.substr(colon + 1));
    if (!port) {
        return std::nullopt;
    }
    return std::make_pair(std::string(text.substr(0, colon)), static_cast<int>(*port));
}

void add_dht_nodes(lt::create_torrent& builder, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        if (auto node = dht_node_from(text)) {
            builder.add_node(std::move(*node));
        }
    }
}

void add_similar_torrents(lt::create_torrent& builder, const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        if (!engine::InfoHashHex::parse(key)) {
            continue;
        }
        const lt::sha1_hash hash = engine::to_hash(key);
        if (!hash.is_all_zeros()) {
            builder.add_similar_torrent(hash);
        }
    }
}

void add_collections(lt::create_torrent& builder, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (!name.empty()) {
            builder.add_collection(name);
        }
    }
}

// ---- creation from disk ----

struct Outcome {
    enum class Kind { Written, NoFiles, Failed, Abandoned };
    Kind kind;
    lt::error_code error;
};

Outcome failed(lt::error_code error) {
    return Outcome{Outcome::Kind::Failed, error};
}

// Hidden entries stay out, and so do symbolic links (never followed, so nothing outside the
// source is read) and anything that is neither a folder nor a regular file.
bool is_shared_entry(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    if (name.empty() || name.front() == '.') {
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return false;
    }
    return S_ISDIR(info.st_mode) || S_ISREG(info.st_mode);
}

// The engine dropped its alignment and mutable-torrent flags: v2 and hybrid torrents align
// every file to a piece anyway, and for v1 `canonical_files` gives the same piece-aligned,
// padded layout. So a v1 torrent asking for alignment (the old 16 KiB pad-file limit is gone
// with it), collections or similar torrents is built canonical.
lt::create_flags_t creation_flags(const CreateJob& job) {
    switch (job.format) {
        case TorrentFormat::Hybrid:
            return {};
        case TorrentFormat::V2:
            return lt::create_torrent::v2_only;
        case TorrentFormat::V1:
            break;
    }
    lt::create_flags_t flags = lt::create_torrent::v1_only;
    if (job.optimize_alignment || !job.collections.empty() || !job.similar_torrents.empty()) {
        flags |= lt::create_torrent::canonical_files;
    }
    return flags;
}

bool is_acceptable_piece_size(std::int32_t piece_size) {
    return piece_size == 0 || piece_size >= kSmallestPieceBytes;
}

std::optional<lt::sha1_hash> file_sha1(const fs::path& path,
                                       std::int64_t expected_size,
                                       const std::function<bool()>& keep_going,
                                       lt::error_code& error) {
    struct stat info {};
    FileDescriptor file = open_regular_file(path, info, error);
    if (!file.is_open()) {
        return std::nullopt;
    }
    lt::hasher hash;
    std::vector<char> chunk(kHashChunkBytes);
    std::int64_t total = 0;
    for (;;) {
        if (!keep_going()) {
            throw Abandoned{};
        }
        const std::int64_t got = read_up_to(file.get(), chunk.data(), chunk.size(), error);
        if (got < 0) {
            return std::nullopt;
        }
        hash.update(chunk.data(), static_cast<int>(got));
        total += got;
        if (static_cast<std::size_t>(got) < chunk.size()) {
            break;
        }
    }
    if (total != expected_size) {
        error = lt::errors::mismatching_file_size;
        return std::nullopt;
    }
    return hash.final();
}

lt::error_code set_file_hashes(lt::create_torrent& builder,
                               const fs::path& parent,
                               const std::function<bool()>& keep_going) {
    const lt::file_storage& files = builder.files();
    for (const lt::file_index_t i : files.file_range()) {
        if (files.pad_file_at(i)) {
            continue;  // padding exists only in the torrent, never on disk
        }
        lt::error_code error;
        const auto digest =
            file_sha1(parent / files.file_path(i), files.file_size(i), keep_going, error);
        if (!digest) {
            return error;
        }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        builder.set_file_hash(i, *digest);
#pragma GCC diagnostic pop
    }
    return {};
}

lt::error_code set_root_certificate(lt::create_torrent& builder, const fs::path& file) {
    lt::error_code error;
    const auto content = read_whole_file(file, kLargestCertificateBytes, error);
    if (!content) {
        return error;
    }
    builder.set_root_cert(lt::string_view(content->data(), content->size()));
    return {};
}

// After a failed hashing, whether a source file vanished or changed its size: the engine cancels
// the reads queued behind the one that failed and reports that cancellation, which tells the
// user nothing.
lt::error_code changed_source_error(const lt::file_storage& files, const fs::path& parent) {
    for (const lt::file_index_t i : files.file_range()) {
        if (files.pad_file_at(i)) {
            continue;
        }
        struct stat info {};
        if (::stat((parent / files.file_path(i)).c_str(), &info) != 0) {
            return system_error_code(errno);
        }
        if (info.st_size != files.file_size(i)) {
            return lt::errors::mismatching_file_size;
        }
    }
    return {};
}

bool is_folder(const fs::path& path) {
    std::error_code ignored;
    return fs::is_directory(path, ignored);
}

// Everything of one creation but its events. Engine and file-system exceptions pass out.
Outcome make_torrent_file(const CreateJob& job,
                          const std::function<bool()>& keep_going,
                          const TorrentCreator::PieceObserver& on_piece_hashed) {
    const fs::path source = plain_path(job.source);
    const fs::path parent = source.parent_path();
    const std::optional<fs::path> output = output_file(job.output);
    if (!output) {
        return failed(system_error_code(EISDIR));
    }
    // checked before hashing, which may take long, rather than after it
    if (!is_folder(output->parent_path())) {
        return failed(system_error_code(ENOENT));
    }
    const lt::create_flags_t flags = creation_flags(job);
    lt::file_storage files;
    lt::add_files(
        files, source.string(),
        [&keep_going](const std::string& path) {
            if (!keep_going()) {
                throw Abandoned{};
            }
            return is_shared_entry(path);
        },
        flags);
    if (files.num_files() == 0) {
        return Outcome{Outcome::Kind::NoFiles, {}};
    }
    if (files.total_size() == 0) {
        return failed(lt::errors::torrent_invalid_length);
    }
    if (!is_acceptable_piece_size(job.piece_size)) {
        return failed(lt::errors::invalid_piece_size);
    }
    lt::create_torrent builder(files, job.piece_size, flags);

    if (job.file_hashes) {
        if (const lt::error_code error = set_file_hashes(builder, parent, keep_going)) {
            return failed(error);
        }
    }
    add_trackers(builder, job.trackers);
    add_web_seeds(builder, job.web_seeds);
    add_dht_nodes(builder, job.dht_nodes);
    add_collections(builder, job.collections);
    add_similar_torrents(builder, job.similar_torrents);
    builder.set_creator(kCreatorText);
    if (!job.comment.empty()) {
        builder.set_comment(job.comment.c_str());
    }
    if (job.is_private) {
        builder.set_priv(true);
    }
    if (!job.root_certificate.empty()) {
        if (const lt::error_code error = set_root_certificate(builder, job.root_certificate)) {
            return failed(error);
        }
    }

    lt::error_code error;
    // The engine's memory-mapped reader hashes on one thread per core (its plain-read reader
    // on one thread only, at about half the speed). A source cut short while mapped raises a
    // bus error, which the engine turns into a read error in its own signal handler.
    lt::set_piece_hashes(
        builder, parent.string(), hashing_settings(), lt::mmap_disk_io_constructor,
        [&](lt::piece_index_t piece) {
            if (!keep_going()) {
                throw Abandoned{};
            }
            if (on_piece_hashed) {
                on_piece_hashed(static_cast<int>(piece));
            }
        },
        error);
    if (error) {
        const lt::error_code changed = changed_source_error(builder.files(), parent);
        return failed(changed ? changed : error);
    }
    if (const lt::error_code written = write_file_replacing(*output, builder.generate_buf())) {
        return failed(written);
    }
    return Outcome{Outcome::Kind::Written, {}};
}

// ---- export ----

int whole_tree_leafs(int blocks) {
    int leafs = 1;
    while (leafs < blocks) {
        leafs *= 2;
    }
    return leafs;
}

lt::sha256_hash parent_hash(const lt::sha256_hash& left, const lt::sha256_hash& right) {
    lt::hasher256 hash;
    hash.update(left.data(), static_cast<int>(left.size()));
    hash.update(right.data(), static_cast<int>(right.size()));
    return hash.final();
}

// One file's piece layer out of the hash tree a record keeps (all nodes, or only those its mask
// marks); missing nodes are computed from their children where both are known. nullopt when
// the tree does not give every piece hash or does not lead to the file's root.
std::optional<std::vector<lt::sha256_hash>> piece_layer_from_tree(
    const std::vector<lt::sha256_hash>& stored,
    const std::vector<bool>& mask,
    const lt::file_storage& files,
    lt::file_index_t file) {
    const int blocks = files.file_num_blocks(file);
    const int leafs = whole_tree_leafs(blocks);
    const std::size_t node_count = 2 * static_cast<std::size_t>(leafs) - 1;
    std::vector<lt::sha256_hash> nodes(node_count);
    std::vector<bool> known(node_count, false);
    if (mask.empty()) {
        if (stored.size() != node_count) {
            return std::nullopt;
        }
        nodes = stored;
        known.assign(node_count, true);
    } else {
        if (mask.size() != node_count) {
            return std::nullopt;
        }
        std::size_t next = 0;
        for (std::size_t i = 0; i < node_count; ++i) {
            if (!mask[i]) {
                continue;
            }
            if (next == stored.size()) {
                return std::nullopt;
            }
            nodes[i] = stored[next++];
            known[i] = true;
        }
    }
    // leaves past the file's last block are padding: zero hashes
    for (std::size_t i = static_cast<std::size_t>(leafs) - 1 + static_cast<std::size_t>(blocks);
         i < node_count; ++i) {
        if (!known[i]) {
            nodes[i].clear();
            known[i] = true;
        }
    }
    for (std::size_t i = static_cast<std::size_t>(leafs) - 1; i-- > 0;) {
        if (!known[i] && known[2 * i + 1] && known[2 * i + 2]) {
            nodes[i] = parent_hash(nodes[2 * i + 1], nodes[2 * i + 2]);
            known[i] = true;
        }
    }
    if (!known[0] || nodes[0] != files.root(file)) {
        return std::nullopt;
    }
    const int blocks_per_piece = files.piece_length() / kBlockBytes;
    const std::size_t first = static_cast<std::size_t>(leafs / blocks_per_piece) - 1;
    const auto pieces = static_cast<std::size_t>(files.file_num_pieces(file));
    std::vector<lt::sha256_hash> layer;
    layer.reserve(pieces);
    for (std::size_t p = 0; p < pieces; ++p) {
        if (!known[first + p]) {
            return std::nullopt;
        }
        layer.push_back(nodes[first + p]);
    }
    return layer;
}

// A file the builder cannot give piece hashes of: a record keeps its v2 hashes as trees beside
// the info dictionary, not as the piece layers of a torrent file.
bool lacks_piece_layer(const lt::torrent_info& metadata, lt::file_index_t file) {
    const lt::file_storage& files = metadata.files();
    return !files.pad_file_at(file) && files.file_size(file) > files.piece_length() &&
           metadata.piece_layer(file).empty();
}

// Gives the builder the piece layers of a v2 record from its hash trees. False when the record's
// resume data cannot be read (its error event is raised then); a file whose tree falls short is
// left without, and the builder then makes what it still can.
bool restore_piece_layers(lt::create_torrent& builder,
                          const RecordStore& records,
                          const RecordStore::Decoded& record,
                          std::string_view shown_name) {
    const lt::torrent_info& metadata = *record.metadata;
    if (!metadata.info_hashes().has_v2()) {
        return true;
    }
    const lt::file_storage& files = metadata.files();
    bool any_lacking = false;
    for (const lt::file_index_t f : files.file_range()) {
        any_lacking = any_lacking || lacks_piece_layer(metadata, f);
    }
    if (!any_lacking) {
        return true;
    }
    const std::optional<lt::add_torrent_params> params =
        records.read_resume_params(record, shown_name);
    if (!params) {
        return false;
    }
    for (const lt::file_index_t f : files.file_range()) {
        if (!lacks_piece_layer(metadata, f) || f >= params->merkle_trees.end_index()) {
            continue;
        }
        static const std::vector<bool> kNoMask;
        const std::vector<bool>& mask =
            f < params->merkle_tree_mask.end_index() ? params->merkle_tree_mask[f] : kNoMask;
        const auto layer = piece_layer_from_tree(params->merkle_trees[f], mask, files, f);
        if (!layer) {
            continue;
        }
        for (std::size_t p = 0; p < layer->size(); ++p) {
            builder.set_hash2(f, static_cast<lt::piece_index_t::diff_type>(static_cast<int>(p)),
                              (*layer)[p]);
        }
    }
    return true;
}

// ---- edit ----

// A torrent file holding nothing but the info dictionary, byte for byte, and the piece layers
// that go with it: v2 hashes a torrent carries outside its info dictionary.
std::vector<char> bare_torrent(const lt::bdecode_node& info, const lt::bdecode_node& layers) {
    std::vector<char> out;
    const auto append = [&out](std::string_view text) {
        out.insert(out.end(), text.begin(), text.end());
    };
    append("d4:info");
    const auto info_bytes = info.data_section();
    out.insert(out.end(), info_bytes.begin(), info_bytes.end());
    if (layers) {
        append("12:piece layers");
        const auto layer_bytes = layers.data_section();
        out.insert(out.end(), layer_bytes.begin(), layer_bytes.end());
    }
    append("e");
    return out;
}

// A single name: what the page gives as the output file name must not reach out of the folder.
bool is_plain_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The fresh metadata an edit builds on; nullopt after raising the torrent file error.
std::shared_ptr<lt::torrent_info> metadata_to_edit(const fs::path& file,
                                                   const std::string& shown_name,
                                                   bridge::UiEventSink& events) {
    lt::error_code error;
    const auto content = read_whole_file(file, kLargestRecordBytes, error);
    if (!content) {
        const lt::error_code no_error(0, boost::system::system_category());
        raise_torrent_file_error(events, no_error.message(), shown_name, kNoErrorKind,
                                 kUnknownErrorText);
        return nullptr;
    }
    const lt::bdecode_node root =
        lt::bdecode(*content, error, nullptr, kRecordDepthLimit, kRecordTokenLimit);
    if (error) {
        raise_torrent_file_error(events, error, shown_name);
        return nullptr;
    }
    const lt::bdecode_node info =
        root.type() == lt::bdecode_node::dict_t ? root.dict_find_dict("info") : lt::bdecode_node();
    if (!info) {
        raise_torrent_file_error(events, lt::errors::torrent_missing_info, shown_name);
        return nullptr;
    }
    const std::vector<char> bare = bare_torrent(info, root.dict_find_dict("piece layers"));
    const lt::bdecode_node bare_root =
        lt::bdecode(bare, error, nullptr, kRecordDepthLimit, kRecordTokenLimit);
    auto metadata = error ? nullptr : std::make_shared<lt::torrent_info>(bare_root, error);
    if (error) {
        raise_torrent_file_error(events, error, shown_name);
        return nullptr;
    }
    return metadata;
}

}  // namespace

CreateJob create_job_from(const bridge::UiValue& options,
                          const bridge::UiValue& trackers,
                          const bridge::UiValue& web_seeds) {
    CreateJob job;
    job.source = text_at(options, 0);
    job.output = text_at(options, 1);
    job.comment = text_at(options, 2);
    job.piece_size = options.at_index(3).read_int();
    job.is_private = options.at_index(4).read_bool();
    job.add_after_creation = options.at_index(5).read_bool();
    job.optimize_alignment = options.at_index(6).read_bool();
    job.file_hashes = options.at_index(12).read_bool();
    job.reserved = options.at_index(7).read_int();
    job.trackers = texts_of(trackers);
    job.web_seeds = texts_of(web_seeds);
    job.collections = texts_of(options.at_index(8));
    job.similar_torrents = texts_of(options.at_index(9));
    job.dht_nodes = texts_of(options.at_index(13));
    job.format = format_from(options.at_index(10).read_int());
    job.root_certificate = text_at(options, 11);
    return job;
}

TorrentCreator::TorrentCreator(bridge::UiEventSink& events,
                               const std::atomic<bool>& running,
                               AddCreated add_created,
                               PieceObserver on_piece_hashed)
    : events_(events),
      running_(running),
      add_created_(std::move(add_created)),
      on_piece_hashed_(std::move(on_piece_hashed)) {}

TorrentCreator::~TorrentCreator() {
    stopping_ = true;
    std::thread worker;
    {
        std::lock_guard lock(lock_);
        worker = std::move(worker_);
    }
    if (worker.joinable()) {
        worker.join();
    }
}

void TorrentCreator::enqueue(CreateJob job) {
    std::lock_guard lock(lock_);
    queue_.push_back(std::move(job));
}

std::size_t TorrentCreator::queue_length() const {
    std::lock_guard lock(lock_);
    return queue_.size();
}

bool TorrentCreator::busy() const {
    std::lock_guard lock(lock_);
    return busy_;
}

void TorrentCreator::start_next() {
    std::thread ended;
    {
        std::lock_guard lock(lock_);
        if (busy_ || queue_.empty() || !should_continue()) {
            return;
        }
        ended = std::move(worker_);
        busy_ = true;
        try {
            worker_ = std::thread([this, job = queue_.front()] { work(job); });
        } catch (const std::system_error&) {
            busy_ = false;  // no thread to spare now; the next tick tries again
        }
    }
    // the previous worker cleared the busy flag as its last step, so this returns at once
    if (ended.joinable()) {
        ended.join();
    }
}

bool TorrentCreator::should_continue() const {
    return running_.load() && !stopping_.load();
}

void TorrentCreator::work(const CreateJob& job) {
    Outcome outcome{Outcome::Kind::Abandoned, {}};
    try {
        outcome = make_torrent_file(
            job, [this] { return should_continue(); }, on_piece_hashed_);
    } catch (const Abandoned&) {
        outcome = Outcome{Outcome::Kind::Abandoned, {}};
    } catch (...) {
        outcome = failed(error_of_current_exception());
    }
    try {
        switch (outcome.kind) {
            case Outcome::Kind::NoFiles:
                raise_no_format(events_, kErrorCreatingText, file_name_of(job.output));
                break;
            case Outcome::Kind::Failed:
                raise_create_error(events_, outcome.error, created_name_of(job.output));
                break;
            case Outcome::Kind::Written:
                if (should_continue()) {
                    raise_success(events_, created_name_of(job.output), job.output);
                    if (job.add_after_creation && add_created_) {
                        add_created_(job.output, plain_path(job.source).parent_path().string());
                    }
                }
                break;
            case Outcome::Kind::Abandoned:
                break;
        }
    } catch (const std::exception&) {
        // an exception may not end the process from this thread; the queue must still move on
    }
    finish();
}

void TorrentCreator::finish() {
    std::lock_guard lock(lock_);
    if (!queue_.empty()) {
        queue_.pop_front();
    }
    busy_ = false;
}

void export_torrent(const RecordStore& records,
                    const bridge::UiValue& options,
                    bridge::UiEventSink& events) {
    const std::string key = text_at(options, 0);
    const fs::path output = text_at(options, 1);
    // a key that is not one cannot name a record, and must not name a path out of the folder
    if (!engine::InfoHashHex::parse(key) || !records.record_exists(key)) {
        raise_no_format(events, kFailedToCreateText, file_name_of(output));
        return;
    }
    const std::string record_name = key + ".vtr";
    const std::optional<RecordStore::Decoded> record =
        records.load_metadata(records.record_path(key), record_name);
    if (!record) {
        return;
    }
    try {
        lt::create_torrent builder(*record->metadata);
        builder.set_creator(text_at(options, 2).c_str());
        const std::string comment = text_at(options, 5);
        if (!comment.empty()) {
            builder.set_comment(comment.c_str());
        }
        add_trackers(builder, texts_of(options.at_index(3)));
        add_web_seeds(builder, texts_of(options.at_index(4)), record->metadata->web_seeds());
        if (!restore_piece_layers(builder, records, *record, record_name)) {
            return;
        }
        const std::optional<fs::path> target = output_file(output);
        const lt::error_code error = target ? write_file_replacing(*target, builder.generate_buf())
                                            : system_error_code(EISDIR);
        if (error) {
            raise_create_error(events, error, created_name_of(output));
            return;
        }
    } catch (...) {
        raise_create_error(events, error_of_current_exception(), created_name_of(output));
        return;
    }
    raise_success(events, file_name_of(output), output);
}

void edit_torrent_file(const bridge::UiValue& options, bridge::UiEventSink& events) {
    const fs::path folder = text_at(options, 0);
    const fs::path edited = text_at(options, 8);
    const std::string output_name = text_at(options, 9);
    const std::shared_ptr<lt::torrent_info> metadata =
        metadata_to_edit(edited, output_name, events);
    if (!metadata) {
        return;
    }
    const fs::path target = folder.empty() ? edited : folder / output_name;
    try {
        if (!folder.empty() && !is_plain_file_name(output_name)) {
            raise_create_error(events, system_error_code(EINVAL), created_name_of(target));
            return;
        }
        lt::create_torrent builder(*metadata);
        const std::string creator = text_at(options, 2);
        if (!creator.empty()) {
            builder.set_creator(creator.c_str());
        }
        const std::string comment = text_at(options, 1);
        if (!comment.empty()) {
            builder.set_comment(comment.c_str());
        }
        // collections and similar torrents live in the info dictionary, which an edit keeps as
        // it is: the builder leaves them out of a copied dictionary
        add_trackers(builder, texts_of(options.at_index(6)));
        add_web_seeds(builder, texts_of(options.at_index(7)));
        add_similar_torrents(builder, texts_of(options.at_index(5)));
        add_dht_nodes(builder, texts_of(options.at_index(4)));
        add_collections(builder, texts_of(options.at_index(3)));
        if (const lt::error_code error = write_file_replacing(
                output_file(target).value_or(fs::path()), builder.generate_buf())) {
            raise_create_error(events, error, created_name_of(target));
        }
    } catch (...) {
        raise_create_error(events, error_of_current_exception(), created_name_of(target));
    }
}

}  // namespace velmora::lifecycle
