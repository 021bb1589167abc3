// The engine configuration worked out from the settings: masks, interfaces and the pack.
#include "velmora/engine/session_settings.h"

#include <gtest/gtest.h>

namespace velmora::engine {
namespace {

struct LogCase {
    bool session, torrent, peer, dht;
    std::uint32_t mask;
    std::int32_t queue;
};

TEST(AlertSetup, EachLogWidensTheMaskAndTheQueue) {
    const LogCase cases[] = {
        {false, false, false, false, 0x20064D, 5000}, {true, false, false, false, 0x38264D, 8000},
        {false, true, false, false, 0x20464D, 8000},  {false, false, true, true, 0x22864D, 11000},
        {true, true, true, true, 0x3AE64D, 17000},
    };
    for (const auto& c : cases) {
        config::ClientSettings s;
        s.session_log = c.session;
        s.torrent_log = c.torrent;
        s.peer_log = c.peer;
        s.dht_log = c.dht;
        const AlertSetup setup = alert_setup(s);
        EXPECT_EQ(setup.mask, c.mask) << std::hex << c.mask;
        EXPECT_EQ(setup.queue_size, c.queue);
    }
}

TEST(RandomPort, StaysInTheDynamicRange) {
    for (std::time_t t : {std::time_t{0}, std::time_t{1}, std::time_t{1700000000}}) {
        const std::int32_t port = draw_random_port(t);
        EXPECT_GE(port, 49152);
        EXPECT_LE(port, 65535);
        EXPECT_EQ(port, draw_random_port(t));  // seeded by the time alone
    }
}

struct InterfaceCase {
    std::int32_t port_type;
    bool lock;
    std::string adapters;
    std::string listen;
    std::string outgoing;
};

TEST(Interfaces, FollowThePortModeAndTheAdapterLock) {
    const InterfaceCase cases[] = {
        {2, false, "", "0.0.0.0:0,[::]:0,0.0.0.0:0s,[::]:0s", ""},
        {3, false, "", "0.0.0.0:50000,[::]:50000,0.0.0.0:50020s, [::]:50020s", ""},
        {1, false, "", "0.0.0.0:6881,[::]:6881,0.0.0.0:4433s,[::]:4433s", ""},
        {0, false, "", "0.0.0.0:6881,[::]:6881,0.0.0.0:4433s,[::]:4433s", ""},
        {7, false, "", "0.0.0.0:6881,[::]:6881,0.0.0.0:4433s,[::]:4433s", ""},
        {1, true, "N1,N2", "N1:6881,N1:4433s,N2:6881,N2:4433s", "N1,N2"},
        {2, true, "eth0", "eth0:0,eth0:0s", "eth0"},
        {3, true, "eth0", "eth0:50000,eth0:50020s", "eth0"},
        {1, true, "", "", ""},
    };
    for (const auto& c : cases) {
        config::ClientSettings s;
        s.port_type = c.port_type;
        s.lock_adapter = c.lock;
        s.listen_interfaces = c.adapters;
        s.port = 6881;
        s.ssl_port = 4433;
        const Interfaces got = interfaces_for(s, 50000);
        EXPECT_EQ(got.listen, c.listen) << c.port_type << ' ' << c.adapters;
        EXPECT_EQ(got.outgoing, c.outgoing) << c.port_type << ' ' << c.adapters;
    }
}

TEST(Interfaces, LoopbackOnlyIgnoresTheAdapterLock) {
    config::ClientSettings s;
    s.port_type = 2;
    s.lock_adapter = true;
    s.listen_interfaces = "eth0";
    EXPECT_EQ(loopback_interfaces_for(s, 50000).listen,
              "127.0.0.1:0,[::1]:0,127.0.0.1:0s,[::1]:0s");
}

TEST(SettingsPack, CopiesEngineKeysByNameAndAddsTheClientsOwn) {
    config::ClientSettings s;
    s.active_downloads = 17;
    s.announce_to_all_trackers = true;
    s.announce_to_all_tiers = false;
    s.announce_ip = "127.0.0.2";
    const lt::settings_pack pack = settings_pack_for(s, {{0x20064D, 5000}, {"L", "O"}, false});
    using sp = lt::settings_pack;
    EXPECT_EQ(pack.get_int(sp::active_downloads), 17);
    EXPECT_TRUE(pack.get_bool(sp::announce_to_all_trackers));
    EXPECT_FALSE(
        pack.get_bool(sp::announce_to_all_tiers));  // the engine's names of these two are crossed
    EXPECT_EQ(pack.get_str(sp::announce_ip), "127.0.0.2");
    EXPECT_EQ(pack.get_int(sp::alert_mask), 0x20064D);
    EXPECT_EQ(pack.get_int(sp::alert_queue_size), 5000);
    EXPECT_EQ(pack.get_str(sp::user_agent), "Velmora");
    EXPECT_EQ(pack.get_str(sp::peer_fingerprint).substr(0, 8), "-VL2960-");
    EXPECT_EQ(pack.get_str(sp::listen_interfaces), "L");
    EXPECT_EQ(pack.get_str(sp::outgoing_interfaces), "O");
    EXPECT_FALSE(pack.get_bool(sp::use_dht_as_fallback));
    EXPECT_TRUE(pack.get_bool(sp::enable_dht));
    EXPECT_EQ(pack.get_str(sp::dht_bootstrap_nodes), s.dht_bootstrap_nodes);
    // keys that stay out of the pack
    EXPECT_FALSE(pack.has_val(sp::download_rate_limit));
    EXPECT_FALSE(pack.has_val(sp::upload_rate_limit));
}

TEST(SettingsPack, DhtOffMeansNoRouters) {
    config::ClientSettings s;
    s.use_dht = false;
    const lt::settings_pack pack = settings_pack_for(s, {alert_setup(s), {}, false});
    EXPECT_FALSE(pack.get_bool(lt::settings_pack::enable_dht));
    EXPECT_EQ(pack.get_str(lt::settings_pack::dht_bootstrap_nodes), "");
}

TEST(SettingsPack, LoopbackOnlySwitchesDiscoveryOffWhateverTheSettingsSay) {
    config::ClientSettings s;  // the defaults switch all four on
    s.apply_ip_filter_to_trackers = false;
    const lt::settings_pack pack = settings_pack_for(s, {alert_setup(s), {}, true});
    using sp = lt::settings_pack;
    for (const int key : {sp::enable_dht, sp::enable_lsd, sp::enable_upnp, sp::enable_natpmp}) {
        EXPECT_FALSE(pack.get_bool(key)) << lt::name_for_setting(key);
    }
    EXPECT_EQ(pack.get_str(sp::dht_bootstrap_nodes), "");
    EXPECT_TRUE(pack.get_bool(sp::apply_ip_filter_to_trackers));
    EXPECT_TRUE(s.use_dht);  // the stored option keeps its value
}

}  // namespace
}  // namespace velmora::engine
