// Engine test fixtures.
#include "support/engine_fixtures.h"

#include <fstream>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <libtorrent/alert.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/read_resume_data.hpp>

#include "velmora/engine/info_hash_hex.h"

namespace velmora::test {

config::ClientSettings loopback_client_settings() {
    config::ClientSettings s;
    s.use_dht = false;
    s.use_lsd = false;
    s.use_upnp = false;
    s.use_natpmp = false;
    s.enable_incoming_utp = false;
    s.enable_outgoing_utp = false;
    s.port_type = 2;
    s.allow_multiple_connections_per_ip = true;
    return s;
}

lt::settings_pack loopback_peer_pack() {
    using sp = lt::settings_pack;
    lt::settings_pack pack;
    pack.set_bool(sp::enable_dht, false);
    pack.set_bool(sp::enable_lsd, false);
    pack.set_bool(sp::enable_upnp, false);
    pack.set_bool(sp::enable_natpmp, false);
    pack.set_bool(sp::enable_incoming_utp, false);
    pack.set_bool(sp::enable_outgoing_utp, false);
    pack.set_bool(sp::allow_multiple_connections_per_ip, true);
    pack.set_str(sp::dht_bootstrap_nodes, "");
    pack.set_str(sp::listen_interfaces, "127.0.0.1:0");
    pack.set_int(sp::alert_mask,
                 static_cast<int>(lt::alert_category::status | lt::alert_category::error |
                                  lt::alert_category::storage));
    return pack;
}

TestTorrent make_test_torrent(const std::filesystem::path& folder,
                              const std::string& name,
                              const std::vector<TestFile>& files,
                              const std::vector<std::string>& trackers,
                              int piece_size,
                              lt::create_flags_t flags) {
    std::mt19937 bytes(static_cast<std::mt19937::result_type>(std::hash<std::string>{}(name)));
    const bool single = files.size() == 1 && files[0].path == name;
    for (const auto& file : files) {
        const std::filesystem::path target = single ? folder / name : folder / name / file.path;
        std::filesystem::create_directories(target.parent_path());
        std::ofstream out(target, std::ios::binary);
        for (int i = 0; i < file.size; ++i) {
            out.put(static_cast<char>(bytes() & 0xFFU));
        }
    }
    lt::file_storage storage;
    lt::add_files(storage, (folder / name).string());
    lt::create_torrent creator(storage, piece_size, flags);
    for (std::size_t i = 0; i < trackers.size(); ++i) {
        creator.add_tracker(trackers[i], static_cast<int>(i));
    }
    lt::set_piece_hashes(creator, folder.string());
    std::vector<char> buffer;
    lt::bencode(std::back_inserter(buffer), creator.generate());
    TestTorrent out;
    out.torrent_file = folder / (name + ".torrent");
    std::ofstream(out.torrent_file, std::ios::binary)
        .write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.content_parent = folder;
    out.info = std::make_shared<lt::torrent_info>(buffer, lt::from_span);
    out.hash = engine::torrent_key(out.info->info_hashes());
    return out;
}

lt::add_torrent_params seeding_params(const TestTorrent& torrent) {
    lt::add_torrent_params params;
    params.ti = torrent.info;
    params.save_path = torrent.content_parent.string();
    return params;
}

lt::add_torrent_params read_record(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    lt::error_code ec;
    lt::add_torrent_params params = lt::read_resume_data(bytes, ec);
    EXPECT_FALSE(ec) << file << ": " << ec.message();
    return params;
}

LoopbackSeeder::LoopbackSeeder(const TestTorrent& torrent) : session_(loopback_peer_pack()) {
    const lt::torrent_handle handle = session_.add_torrent(seeding_params(torrent));
    ready_ = eventually([&] { return handle.status().is_seeding; });
}

std::string LoopbackSeeder::peer() const {
    return "127.0.0.1:" + std::to_string(session_.listen_port());
}

bridge::UiValue RecordingPage::ui_call(std::string_view name, const bridge::UiValue& arg) {
    Answer answer;
    {
        const std::lock_guard lock(lock_);
        events_.emplace_back(std::string(name), arg);
        const auto it = answers_.find(name);
        if (it != answers_.end()) {
            answer = it->second;
        }
    }
    return answer ? answer(arg) : bridge::UiValue();
}

void RecordingPage::answer(std::string name, Answer answer) {
    const std::lock_guard lock(lock_);
    answers_[std::move(name)] = std::move(answer);
}

void RecordingPage::answer(std::string name, bridge::UiValue value) {
    answer(std::move(name), [value](const bridge::UiValue&) { return value; });
}

std::vector<std::pair<std::string, bridge::UiValue>> RecordingPage::events() const {
    const std::lock_guard lock(lock_);
    return events_;
}

std::vector<bridge::UiValue> RecordingPage::args_of(std::string_view name) const {
    const std::lock_guard lock(lock_);
    std::vector<bridge::UiValue> out;
    for (const auto& [n, arg] : events_) {
        if (n == name) {
            out.push_back(arg);
        }
    }
    return out;
}

void RecordingPage::clear() {
    const std::lock_guard lock(lock_);
    events_.clear();
}

std::size_t RecordingPage::count(std::string_view name) const {
    return args_of(name).size();
}

bool RecordingPage::wait_for(std::string_view name,
                             std::size_t times,
                             std::chrono::milliseconds timeout) const {
    return eventually([&] { return count(name) >= times; }, timeout);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace velmora::test
