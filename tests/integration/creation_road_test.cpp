// A torrent made by one client from files on its disk, seeded by it from where the files lie,
// and downloaded whole by a second client, both real processes on loopback.
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <libtorrent/hex.hpp>
#include <libtorrent/torrent_info.hpp>

#include "support/loopback_swarm.h"

namespace velmora::test {
namespace {

std::string read_bytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_random(const std::filesystem::path& file, std::size_t size, unsigned seed) {
    std::filesystem::create_directories(file.parent_path());
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(random());
    }
    std::ofstream(file, std::ios::binary) << bytes;
}

// The client's key of a torrent: the v1 hash, or the first half of the v2 hash.
std::string key_of(const lt::torrent_info& info) {
    const lt::info_hash_t hashes = info.info_hashes();
    return hashes.has_v1() ? lt::aux::to_hex(hashes.v1)
                           : lt::aux::to_hex(lt::sha1_hash(hashes.v2.data()));
}

std::string calls_seen(const ConsolePage& page) {
    std::string seen;
    for (const auto& call : page.calls()) {
        if (call.fn != "do_statusbar" && call.fn != "set_port_variable") {
            seen += call.fn + " " + call.arg.dump().substr(0, 300) + "\n";
        }
    }
    return seen;
}

json make_options(const std::filesystem::path& source,
                  const std::filesystem::path& output,
                  int format) {
    // source, output, comment, piece size, private, add after creation, alignment, reserved,
    // collections, similar torrents, format, root certificate, file hashes, nodes
    return json::array({source.string(), output.string(), "made on loopback", 0, 0, 1, 0, 0,
                        json::array(), json::array(), format, "", 1, json::array()});
}

TEST(CreationRoad, ATorrentMadeAndSeededByOneClientDownloadsWholeIntoAnother) {
    struct Case {
        const char* name;
        int format;
        bool v1, v2;
    };
    for (const Case c :
         {Case{"v1", 0, true, false}, Case{"v2", 1, false, true}, Case{"hybrid", 2, true, true}}) {
        SCOPED_TRACE(c.name);
        // the add dialog keeps the folder it offers
        const json start_where_offered =
            json::array({1, false, true, 0, "", json::array(), "", false});
        Road maker;
        maker.pre_add = start_where_offered;
        const auto source = maker.dir / "shared";
        write_random(source / "first.bin", 3 * 1024 * 1024 + 17, 1);
        write_random(source / "inner" / "second.bin", 200 * 1024, 2);
        std::ofstream(source / ".hidden") << "left out";
        const auto output = maker.dir / "shared.torrent";

        RunningClient seeder(maker);
        seeder.page.command("make_new_torrent", json::array({make_options(source, output, c.format),
                                                             json::array(), json::array()}));
        ASSERT_TRUE(seeder.page.serve_until(
            [&] { return !seeder.page.calls_of("post_success").empty(); }, 60s));
        const json success = seeder.page.calls_of("post_success").front().arg;
        EXPECT_EQ(success, json::array({19, "shared.torrent", true, output.string()}));
        lt::error_code ec;
        const lt::torrent_info info(output.string(), ec);
        ASSERT_FALSE(ec) << ec.message();
        EXPECT_EQ(info.info_hashes().has_v1(), c.v1);
        EXPECT_EQ(info.info_hashes().has_v2(), c.v2);
        EXPECT_EQ(info.name(), "shared");
        const std::string hash = key_of(info);
        // added after creation and checked against the files where they lie: complete at once
        ASSERT_TRUE(
            seeder.page.serve_until([&] { return last_progress(seeder.page, hash) == 100; }, 60s))
            << calls_seen(seeder.page);
        const auto offered = seeder.page.calls_of("pre_add_torrent");
        ASSERT_EQ(offered.size(), 1U);
        EXPECT_EQ(offered[0].arg["save_path"], maker.dir.path().string());

        Road taker;
        taker.pre_add = start_where_offered;
        RunningClient leecher(taker);
        leecher.page.command("add_torrent_to_session", json::array({output.string(), 0}));
        ASSERT_TRUE(
            leecher.page.serve_until([&] { return last_progress(leecher.page, hash) >= 0; }));
        ASSERT_TRUE(seeder.page.serve_until([&] { return listen_port(seeder.page) != 0; }));
        // the leecher dials the seeder until it has everything; the first dial may come while
        // its torrent still checks
        const int seeder_port = listen_port(seeder.page);
        bool complete = false;
        for (int dial = 0; dial < 6 && !complete; ++dial) {
            leecher.page.command("do_add_peer_to_torrent",
                                 json::array({"127.0.0.1", 0, seeder_port, hash}));
            complete = leecher.page.serve_until(
                [&] { return last_progress(leecher.page, hash) == 100; }, 20s);
        }
        ASSERT_TRUE(complete) << calls_seen(leecher.page);
        for (const char* file : {"first.bin", "inner/second.bin"}) {
            EXPECT_EQ(read_bytes(taker.downloads / "shared" / file), read_bytes(source / file))
                << file;
        }
        EXPECT_FALSE(std::filesystem::exists(taker.downloads / "shared" / ".hidden"));
        EXPECT_EQ(leecher.close(), 0);
        EXPECT_EQ(seeder.close(), 0);
    }
}

}  // namespace
}  // namespace velmora::test
