// Real torrents, loopback-only engine settings and a recording page for engine tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_info.hpp>

#include "velmora/bridge/ui_event_sink.h"
#include "velmora/config/client_settings.h"

namespace velmora::test {

// The client's settings for a test: no DHT, LSD, UPnP, NAT-PMP or uTP, ports of the system's
// choosing, and several local peers allowed on one address.
config::ClientSettings loopback_client_settings();
// The same for a foreign session of a test (a seeder or a peer), listening on 127.0.0.1.
lt::settings_pack loopback_peer_pack();

struct TestTorrent {
    std::filesystem::path torrent_file;
    std::filesystem::path content_parent;  // the folder that holds the content: its save path
    std::string hash;
    std::shared_ptr<lt::torrent_info> info;
};
struct TestFile {
    std::string path;  // inside the torrent, "/" separated
    int size = 0;
};
// Writes the content files (pseudo-random bytes) under `folder`/`name` (one file: `folder`/name)
// and the torrent file beside them as `name`.torrent.
TestTorrent make_test_torrent(const std::filesystem::path& folder,
                              const std::string& name,
                              const std::vector<TestFile>& files,
                              const std::vector<std::string>& trackers = {},
                              int piece_size = 16 * 1024,
                              lt::create_flags_t flags = lt::create_torrent::v1_only);

// Parameters that add the torrent over its own content, so it seeds at once.
lt::add_torrent_params seeding_params(const TestTorrent& torrent);

// A record file read back by the engine itself; a record it refuses is a test failure.
lt::add_torrent_params read_record(const std::filesystem::path& file);

// A foreign session on loopback that seeds one torrent; ready once it seeds, since a peer that
// knocks while it still checks its files is turned away.
class LoopbackSeeder {
public:
    explicit LoopbackSeeder(const TestTorrent& torrent);
    bool ready() const { return ready_; }
    // The peer address of a magnet link's "x.pe" parameter.
    std::string peer() const;

private:
    lt::session session_;
    bool ready_ = false;
};

// A page that records every event and answers from a table (undefined when a name has none).
// Thread: any.
class RecordingPage final : public bridge::UiEventSink {
public:
    using Answer = std::function<bridge::UiValue(const bridge::UiValue&)>;

    bridge::UiValue ui_call(std::string_view name, const bridge::UiValue& arg) override;
    void answer(std::string name, Answer answer);
    void answer(std::string name, bridge::UiValue value);

    std::vector<std::pair<std::string, bridge::UiValue>> events() const;
    std::vector<bridge::UiValue> args_of(std::string_view name) const;
    std::size_t count(std::string_view name) const;
    void clear();
    // Waits until `name` was raised at least `times` times; false after the timeout.
    bool wait_for(std::string_view name,
                  std::size_t times = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

private:
    mutable std::mutex lock_;
    std::vector<std::pair<std::string, bridge::UiValue>> events_;
    std::map<std::string, Answer, std::less<>> answers_;
};

// Polls until the condition holds; false after the timeout.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace velmora::test
