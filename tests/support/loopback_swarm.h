// A loopback swarm for whole-client tests: Debian's opentracker, a foreign seeder (the engine's
// Python binding) and the real client process on the console page, everything on 127.0.0.1.
#pragma once

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <libtorrent/hex.hpp>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/console_page.h"
#include "support/engine_fixtures.h"
#include "support/temp_dir.h"
#include "velmora/config/advanced_settings_xml.h"

namespace velmora::test {

using json = nlohmann::json;
using namespace std::chrono_literals;

inline const std::vector<std::string> kEnv = {"VELMORA_LOOPBACK_ONLY=1"};

inline int free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

inline bool accepts_connections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Debian's opentracker on a loopback port of its own. It serves only the torrents on its
// access list, which it reads again on SIGHUP.
class Tracker {
public:
    explicit Tracker(const TempDir& dir)
        : port_(free_loopback_port()),
          list_(prepare(dir)),
          process_({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", std::to_string(port_), "-P",
                    std::to_string(port_), "-d", dir.path().string(), "-w", "allowed"},
                   {}) {
        ready_ = eventually([this] { return accepts_connections(port_); }, 10s);
    }
    bool ready() const { return ready_; }
    // Both keys of a hybrid torrent are announced, so both go on the list.
    void allow(const TestTorrent& torrent) {
        const lt::info_hash_t hashes = torrent.info->info_hashes();
        std::ofstream list(list_, std::ios::app);
        if (hashes.has_v1()) {
            list << lt::aux::to_hex(hashes.v1) << '\n';
        }
        if (hashes.has_v2()) {
            list << lt::aux::to_hex(lt::sha1_hash(hashes.v2.data())) << '\n';
        }
        list.close();
        process_.signal(SIGHUP);
        std::this_thread::sleep_for(200ms);
    }
    std::string announce_url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/announce";
    }

private:
    // The tracker drops to an unprivileged user inside its folder, which must let it in.
    static std::filesystem::path prepare(const TempDir& dir) {
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
        const auto list = dir / "allowed";
        std::ofstream(list).close();
        std::filesystem::permissions(list, std::filesystem::perms(0644));
        return list;
    }

    int port_;
    std::filesystem::path list_;
    ChildProcess process_;
    bool ready_ = false;
};

// The seeder script beside this test, run by Debian's own Python, where the binding lives.
class Seeder {
public:
    Seeder(Tracker& tracker, const TestTorrent& torrent)
        : allowed_((tracker.allow(torrent), true)),
          process_({"/usr/bin/python3", std::string(VELMORA_SEEDER_SCRIPT),
                    torrent.torrent_file.string(), torrent.content_parent.string()},
                   {}) {
        ready_ = process_.read_stdout_until("seeding ", 30s).find("seeding ") != std::string::npos;
    }
    bool ready() const { return ready_; }
    // The seeder's own listen port on 127.0.0.1.
    int port() {
        const std::string out = process_.read_stdout_until("\n", std::chrono::seconds(1));
        const auto at = out.find("seeding ");
        return at == std::string::npos ? 0 : std::stoi(out.substr(at + 8));
    }
    // Has the seeder open a connection to a client's listen port; true once it holds one.
    bool connect_to(int port) {
        const std::string done = "connected " + std::to_string(port) + "\n";
        process_.write_stdin("connect " + std::to_string(port) + "\n");
        return process_.read_stdout_until(done, std::chrono::seconds(20)).find(done) !=
               std::string::npos;
    }

private:
    bool allowed_;
    ChildProcess process_;
    bool ready_ = false;
};

// What the page hands back at start-up: the download folder and the run options.
inline json resumed_settings(const std::filesystem::path& downloads, bool auto_start) {
    json saved = json::array(
        {0, 0, "", downloads.string(), "", false, 0, false, false, auto_start, 3, 0, 0, 750, 450});
    for (int i = 0; i < 10; ++i) {
        saved.push_back(true);
    }
    return json::array({saved});
}

struct Road {
    TempDir dir;
    std::filesystem::path home = dir / "home";
    std::filesystem::path downloads = dir / "downloads";
    std::filesystem::path chosen = dir / "chosen";
    bool auto_start = false;
    json pre_add = json();
    json magnet_options = json();
    json priorities = json::array();
    json restore = json::array();  // the page's list of torrents to bring back at start-up
    int listed_at = -1;            // "IndexFromHash": where the page lists every torrent

    // Every client of these tests starts with loopback-only settings.
    explicit Road(config::ClientSettings settings = loopback_client_settings()) {
        std::filesystem::create_directories(home);
        std::filesystem::create_directories(downloads);
        settings.respect_sleep = true;  // a test never holds the machine awake
        EXPECT_TRUE(
            config::save_advanced_settings(home / "advanced-client-settings.xml", settings));
    }

    std::vector<std::string> client_argv(const std::vector<std::string>& args = {}) const {
        std::vector<std::string> argv = {velmora_binary(), "--ui", "console", "--home",
                                         home.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    ConsolePage::Answer page_answers(ConsolePage*& page) const {
        return [this, &page](const PageCall& call) -> json {
            if (call.fn == "IndexFromHash") {
                return listed_at;
            }
            if (call.fn == "get_resume_data") {
                page->command("set_resumed_settings", resumed_settings(downloads, auto_start));
                return 0;
            }
            if (call.fn == "pre_add_torrent") {
                return pre_add;
            }
            if (call.fn == "show_magnet_options") {
                return magnet_options;
            }
            if (call.fn == "get_files_prioraty") {
                return priorities;
            }
            if (call.fn == "get_torrents_to_restore") {
                return restore;
            }
            if (call.fn == "do_exit") {
                return 1;
            }
            return nullptr;
        };
    }
};

// A file's index in the torrent: the engine keeps the order the files were found in, with its
// pad files between them.
inline int file_index(const TestTorrent& t, const std::string& name) {
    const lt::file_storage& files = t.info->files();
    for (const lt::file_index_t i : files.file_range()) {
        if (files.file_name(i) == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

inline json priorities_skipping(const TestTorrent& t, const std::string& skipped) {
    json priorities = json::array();
    for (int i = 0; i < t.info->num_files(); ++i) {
        priorities.push_back(i == file_index(t, skipped) ? 0 : 4);
    }
    return priorities;
}

inline int last_progress(const ConsolePage& page, const std::string& hash) {
    int pct = -1;
    for (const auto& call : page.calls_of("update_torrent")) {
        if (call.arg[0]["hash"] == hash) {
            pct = call.arg[0]["pct_done"].get<int>();
        }
    }
    return pct;
}

inline void close_window(ChildProcess& client, ConsolePage& page) {
    client.write_stdin(R"({"t":"close"})"
                       "\n");
    page.serve_until([&] { return !page.calls_of("exit_session").empty(); }, 30s);
}

// A client of a road, its page answering as the road says.
struct RunningClient {
    explicit RunningClient(const Road& road, const std::vector<std::string>& args = {})
        : process(road.client_argv(args), kEnv), page(process, road.page_answers(self)) {
        self = &page;
        page.command("start_timer");
        // The page has handed its settings (the download folder among them) over once the
        // client asks for the torrents to restore; an add before that would save elsewhere.
        page.serve_until([this] { return !page.calls_of("get_torrents_to_restore").empty(); }, 30s);
    }
    // Adds the torrent and serves the page until it is complete.
    bool add_until_complete(const std::string& source, int kind, const std::string& hash) {
        page.command("add_torrent_to_session", json::array({source, kind}));
        return page.serve_until([&] { return last_progress(page, hash) == 100; }, 60s);
    }
    std::optional<int> close() {
        close_window(process, page);
        return process.wait(30s);
    }

    ConsolePage* self = nullptr;
    ChildProcess process;
    ConsolePage page;
};

// The client's TCP port on 127.0.0.1. With ports of the system's choosing its IPv4 and IPv6
// sockets get a port each, and the page hears of both.
inline int listen_port(const ConsolePage& page) {
    const auto calls = page.calls_of("set_port_variable");
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
        const int port = it->arg[0].get<int>();
        if (accepts_connections(port)) {
            return port;
        }
    }
    return 0;
}

// Has the client connect to a peer on a loopback port until it counts it among the torrent's
// peers: a torrent that was just started may still be checking and turn the peer away.
inline bool join_peer(RunningClient& client, int port, const std::string& hash) {
    const std::size_t updates_before = client.page.calls_of("update_torrent").size();
    for (int attempt = 0; attempt < 5; ++attempt) {
        client.page.command("do_add_peer_to_torrent", json::array({"127.0.0.1", 0, port, hash}));
        if (client.page.serve_until(
                [&] {
                    const auto updates = client.page.calls_of("update_torrent");
                    for (std::size_t i = updates_before; i < updates.size(); ++i) {
                        const json& u = updates[i].arg[0];
                        if (u["hash"] == hash && u["peers"].get<int>() > 0) {
                            return true;
                        }
                    }
                    return false;
                },
                3s)) {
            return true;
        }
    }
    return false;
}

}  // namespace velmora::test
