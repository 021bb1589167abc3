// The session-wide commands on a running client whose engine stays on loopback, and the
// decisions they take for an engine that may reach the open network.
#include "velmora/host/session_commands.h"

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/session.hpp>

#include "client_rig.h"
#include "support/engine_fixtures.h"
#include "support/recording_desktop.h"
#include "support/recording_keep_awake.h"
#include "support/temp_dir.h"
#include "velmora/bridge/headless_ui_engine.h"
#include "velmora/config/advanced_settings_xml.h"
#include "velmora/engine/engine_session.h"
#include "velmora/host/app_paths.h"
#include "velmora/host/app_state.h"
#include "velmora/host/client.h"

namespace velmora::host {
namespace {

using bridge::UiArray;
using bridge::UiValue;
using sp = lt::settings_pack;

constexpr const char* kAbsentHash = "0123456789abcdef0123456789abcdef01234567";

class SessionCommandsTest : public ClientRig {
protected:
    std::optional<UiValue> command(const char* name, UiArray args = {}) {
        return ui.command(name, args);
    }
};

struct Step {
    const char* command;
    UiArray args;
    UiValue result;
};

TEST_F(SessionCommandsTest, TheUserAndTheScheduleEachPauseTheSession) {
    struct Sequence {
        const char* name;
        std::vector<Step> steps;
        bool paused;          // the engine's session at the end
        bool session_paused;  // the user's stored pause at the end
    };
    const Sequence sequences[] = {
        {"user pause", {{"pause_all_torrents", {UiValue(1)}, UiValue(true)}}, true, true},
        {"user pause and resume",
         {{"pause_all_torrents", {UiValue(5)}, UiValue(true)},
          {"pause_all_torrents", {UiValue(0)}, UiValue(false)}},
         false,
         false},
        {"a text argument resumes",
         {{"pause_all_torrents", {UiValue(1)}, UiValue(true)},
          {"pause_all_torrents", {UiValue("yes")}, UiValue(false)}},
         false,
         false},
        {"the schedule's end keeps the user's pause",
         {{"pause_all_torrents", {UiValue(1)}, UiValue(true)},
          {"pause_schedule", {UiValue(1)}, UiValue(true)},
          {"pause_schedule_end", {}, UiValue(true)}},
         true,
         true},
        {"the schedule's end resumes",
         {{"pause_schedule", {UiValue(1)}, UiValue(true)},
          {"pause_schedule_end", {}, UiValue(false)}},
         false,
         false},
        {"a user resume ends a schedule pause too",
         {{"pause_schedule", {UiValue(1)}, UiValue(true)},
          {"pause_all_torrents", {UiValue(0)}, UiValue(false)}},
         false,
         false},
        {"the schedule resumes a user pause",
         {{"pause_all_torrents", {UiValue(1)}, UiValue(true)},
          {"pause_schedule", {UiValue(0)}, UiValue(true)}},
         false,
         true},
        {"a forced pause is not the user's",
         {{"force_pause_all_torrents", {}, UiValue(true)}},
         true,
         false},
        {"reset clears the user's pause",
         {{"pause_all_torrents", {UiValue(1)}, UiValue(true)}, {"reset_pause", {}, UiValue(true)}},
         false,
         false},
    };
    with_client([&](Client& client) {
        lt::session& session = client.engine_session().session();
        for (const Sequence& sequence : sequences) {
            SCOPED_TRACE(sequence.name);
            command("reset_pause");
            command("pause_schedule", {UiValue(0)});
            ASSERT_FALSE(session.is_paused());
            for (const Step& step : sequence.steps) {
                EXPECT_EQ(command(step.command, step.args), step.result) << step.command;
            }
            EXPECT_EQ(session.is_paused(), sequence.paused);
            EXPECT_EQ(command("get_session_pause"), UiValue(sequence.session_paused));
            EXPECT_EQ(client.settings().session_paused, sequence.session_paused);
        }
    });
}

TEST_F(SessionCommandsTest, GlobalRateLimitsReachTheEngineSettings) {
    struct Case {
        const char* command;
        UiValue argument;
        int setting;
        int live;
    };
    const Case cases[] = {
        {"set_global_upload", UiValue(5000), sp::upload_rate_limit, 5000},
        {"set_global_download", UiValue(7000), sp::download_rate_limit, 7000},
        {"set_global_download", UiValue("fast"), sp::download_rate_limit, 0},
    };
    with_client([&](Client& client) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.command);
            EXPECT_EQ(command(c.command, {c.argument}), UiValue(true));
            EXPECT_EQ(client.engine_session().session().get_settings().get_int(c.setting), c.live);
        }
    });
}

TEST_F(SessionCommandsTest, TorrentRateLimitsReachOnlyTheNamedTorrent) {
    const test::TestTorrent torrent =
        test::make_test_torrent(dir / "content", "seed.bin", {{"seed.bin", 40000}});
    with_client([&](Client& client) {
        const lt::torrent_handle handle =
            client.engine_session().session().add_torrent(test::seeding_params(torrent));
        EXPECT_EQ(command("set_torrent_upload", {UiValue(torrent.hash), UiValue(3000)}),
                  UiValue(true));
        EXPECT_EQ(command("set_torrent_download", {UiValue(torrent.hash), UiValue(4000)}),
                  UiValue(true));
        EXPECT_EQ(handle.upload_limit(), 3000);
        EXPECT_EQ(handle.download_limit(), 4000);
        for (const char* hash : {kAbsentHash, "not a hash"}) {
            SCOPED_TRACE(hash);
            EXPECT_EQ(command("set_torrent_upload", {UiValue(hash), UiValue(1)}), UiValue(true));
            EXPECT_EQ(command("set_torrent_download", {UiValue(hash), UiValue(1)}), UiValue(true));
        }
        EXPECT_EQ(handle.upload_limit(), 3000);
        EXPECT_EQ(handle.download_limit(), 4000);
    });
}

TEST_F(SessionCommandsTest, ServiceSettersStoreTheOptionButTheLoopbackEngineKeepsThemOff) {
    struct Case {
        const char* setter;
        const char* getter;
        bool config::ClientSettings::*stored;
        int engine_switch;
        UiValue getter_when_on;
    };
    const Case cases[] = {
        {"set_upnp", "get_upnp", &config::ClientSettings::use_upnp, sp::enable_upnp, UiValue(true)},
        {"set_nat_pmp", "get_nat_pmp", &config::ClientSettings::use_natpmp, sp::enable_natpmp,
         UiValue(true)},
        {"set_lsd", "get_lsd", &config::ClientSettings::use_lsd, sp::enable_lsd, UiValue(true)},
        // the DHT getter answers what the engine does, and it does not run here
        {"set_dht", "get_dht", &config::ClientSettings::use_dht, sp::enable_dht, UiValue(false)},
    };
    with_client([&](Client& client) {
        lt::session& session = client.engine_session().session();
        for (const Case& c : cases) {
            SCOPED_TRACE(c.setter);
            EXPECT_EQ(command(c.setter, {UiValue(1)}), UiValue(true));
            EXPECT_TRUE(client.settings().*c.stored);
            EXPECT_EQ(command(c.getter), c.getter_when_on);
            const lt::settings_pack live = session.get_settings();
            EXPECT_FALSE(live.get_bool(c.engine_switch));
            EXPECT_EQ(live.get_str(sp::dht_bootstrap_nodes), "");
            EXPECT_FALSE(session.is_dht_running());
            EXPECT_EQ(command("reconnect"), UiValue(true));

            EXPECT_EQ(command(c.setter, {UiValue("on")}), UiValue(false));
            EXPECT_FALSE(client.settings().*c.stored);
            EXPECT_EQ(command(c.getter), UiValue(false));
            EXPECT_FALSE(session.get_settings().get_bool(c.engine_switch));
        }
    });
}

TEST_F(SessionCommandsTest, AMissingCertificateComesBackAsAnEngineAlert) {
    const test::TestTorrent torrent =
        test::make_test_torrent(dir / "content", "plain.bin", {{"plain.bin", 20000}});
    with_client([&](Client& client) {
        lt::session& session = client.engine_session().session();
        const lt::torrent_handle handle = session.add_torrent(test::seeding_params(torrent));
        const std::string missing = (dir / "missing.pem").string();
        EXPECT_EQ(command("do_set_ssl", {UiValue(torrent.hash), UiValue(missing), UiValue(missing),
                                         UiValue(missing), UiValue("secret")}),
                  UiValue(true));
        EXPECT_EQ(command("do_set_ssl", {UiValue(kAbsentHash), UiValue(missing), UiValue(missing),
                                         UiValue(missing), UiValue("")}),
                  UiValue(true));
        const bool reported = test::eventually([&] {
            std::vector<lt::alert*> alerts;
            session.pop_alerts(&alerts);
            for (const lt::alert* alert : alerts) {
                const auto* error = lt::alert_cast<lt::torrent_error_alert>(alert);
                if (error != nullptr && error->handle == handle) {
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(reported);
        EXPECT_TRUE(handle.is_valid());
    });
}

TEST(SessionCommandsWithoutEngine, SettersStoreAndEveryCommandAnswersAsUsual) {
    AppState state;
    AppPaths paths;
    config::ClientSettings settings = test::loopback_client_settings();
    test::RecordingDesktop desktop;
    test::RecordingPage page;
    CommandContext ctx{state, paths, settings, desktop, page};
    const bridge::CommandTable table(engine_session_commands(ctx));
    const Step steps[] = {
        {"set_upnp", {UiValue(1)}, UiValue(true)},
        {"get_upnp", {}, UiValue(true)},
        {"set_dht", {UiValue(1)}, UiValue(true)},
        {"get_dht", {}, UiValue(false)},
        {"reconnect", {}, UiValue(true)},
        {"set_global_upload", {UiValue(100)}, UiValue(true)},
        {"set_torrent_download", {UiValue(kAbsentHash), UiValue(100)}, UiValue(true)},
        {"pause_all_torrents", {UiValue(1)}, UiValue(true)},
        {"pause_schedule", {UiValue(1)}, UiValue(true)},
        {"pause_schedule_end", {}, UiValue(true)},
        {"do_set_ssl",
         {UiValue(kAbsentHash), UiValue(""), UiValue(""), UiValue(""), UiValue("")},
         UiValue(true)},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(table.dispatch(step.command, step.args), step.result) << step.command;
    }
    EXPECT_TRUE(settings.use_upnp);
    EXPECT_TRUE(settings.use_dht);
    EXPECT_TRUE(settings.session_paused);
}

// What each pack switches: the engine's service switch and its value, or the DHT tuning.
struct PackSummary {
    std::optional<bool> upnp = std::nullopt;
    std::optional<bool> natpmp = std::nullopt;
    std::optional<bool> lsd = std::nullopt;
    std::optional<bool> dht = std::nullopt;
    bool tuning = false;
    bool operator==(const PackSummary&) const = default;
};

PackSummary summarise(const lt::settings_pack& pack) {
    auto read = [&pack](int setting) -> std::optional<bool> {
        if (!pack.has_val(setting)) {
            return std::nullopt;
        }
        return pack.get_bool(setting);
    };
    return {read(sp::enable_upnp), read(sp::enable_natpmp), read(sp::enable_lsd),
            read(sp::enable_dht), pack.has_val(sp::dht_bootstrap_nodes)};
}

std::vector<PackSummary> summarise(const std::vector<lt::settings_pack>& packs) {
    std::vector<PackSummary> out;
    for (const lt::settings_pack& pack : packs) {
        out.push_back(summarise(pack));
    }
    return out;
}

TEST(ServicePacks, ServicesReachTheOpenNetworkOnlyWhenLoopbackDoesNotHoldTheEngine) {
    const PackSummary upnp_on{.upnp = true};
    const PackSummary upnp_off{.upnp = false};
    const PackSummary natpmp_on{.natpmp = true};
    const PackSummary lsd_off{.lsd = false};
    const PackSummary dht_on{.dht = true};
    const PackSummary dht_off{.dht = false};
    const PackSummary tuning{.tuning = true};
    struct Case {
        NetworkService service;
        bool on;
        bool dht_running;
        bool loopback_only;
        std::vector<PackSummary> packs;
    };
    const Case cases[] = {
        {NetworkService::Upnp, true, false, false, {upnp_on}},
        {NetworkService::Upnp, false, false, false, {upnp_off}},
        {NetworkService::Upnp, true, false, true, {}},
        {NetworkService::Upnp, false, false, true, {upnp_off}},
        {NetworkService::NatPmp, true, true, false, {natpmp_on}},
        {NetworkService::Lsd, false, false, false, {lsd_off}},
        {NetworkService::Lsd, true, false, true, {}},
        // starting the DHT brings its tuning and bootstrap nodes after it
        {NetworkService::Dht, true, false, false, {dht_on, tuning}},
        {NetworkService::Dht, true, true, false, {}},  // it runs already
        {NetworkService::Dht, true, false, true, {}},
        {NetworkService::Dht, false, true, false, {dht_off}},
        {NetworkService::Dht, false, true, true, {dht_off}},
        {NetworkService::Dht, false, false, false, {}},
    };
    config::ClientSettings settings;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << static_cast<int>(c.service) << " on " << c.on << " running "
                     << c.dht_running << " loopback " << c.loopback_only);
        const std::vector<lt::settings_pack> packs =
            service_packs(settings, c.service, c.on, c.dht_running, c.loopback_only);
        EXPECT_EQ(summarise(packs), c.packs);
    }
    const std::vector<lt::settings_pack> start =
        service_packs(settings, NetworkService::Dht, true, false, false);
    ASSERT_EQ(start.size(), 2U);
    EXPECT_EQ(start[1].get_str(sp::dht_bootstrap_nodes), settings.dht_bootstrap_nodes);
}

TEST(ServicePacks, AReconnectAsksForPortMappingsOnlyWithAMappingServiceOnTheOpenNetwork) {
    struct Case {
        bool upnp;
        bool natpmp;
        bool loopback_only;
        bool map_ports;
    };
    const Case cases[] = {
        {true, false, false, true}, {false, true, false, true},  {false, false, false, false},
        {true, true, true, false},  {false, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.upnp << c.natpmp << c.loopback_only);
        config::ClientSettings settings;
        settings.use_upnp = c.upnp;
        settings.use_natpmp = c.natpmp;
        const lt::reopen_network_flags_t flags = reconnect_flags(settings, c.loopback_only);
        EXPECT_EQ(bool(flags & lt::session_handle::reopen_map_ports), c.map_ports);
    }
}

}  // namespace
}  // namespace velmora::host
