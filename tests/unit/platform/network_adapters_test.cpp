// Adapter kinds and the offered list, against a made-up sysfs tree.
#include "velmora/platform/linux/network_adapters.h"

#include <fstream>
#include <set>

#include <gtest/gtest.h>
#include <net/if.h>

#include "support/temp_dir.h"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

struct FakeAdapter {
    const char* name;
    const char* type;  // the "type" attribute; nullptr: none
    std::vector<const char*> markers = {};
    const char* alias = "";
};

class NetworkAdaptersTest : public ::testing::Test {
protected:
    void add(const FakeAdapter& adapter) {
        const fs::path folder = root() / adapter.name;
        fs::create_directories(folder);
        if (adapter.type != nullptr) {
            std::ofstream(folder / "type") << adapter.type << "\n";
        }
        // sysfs always has the alias attribute; an unset one reads as an empty line
        std::ofstream(folder / "ifalias") << adapter.alias << "\n";
        for (const char* marker : adapter.markers) {
            if (std::string_view(marker) == "phy80211") {
                // in sysfs a link into the device tree, which the fake tree does not have
                fs::create_directory_symlink(dir / "no-such-phy", folder / marker);
            } else if (std::string_view(marker) == "wireless") {
                fs::create_directory(folder / marker);
            } else {
                std::ofstream(folder / marker) << "0x1002\n";
            }
        }
    }
    fs::path root() const { return dir / "sys/class/net"; }

    test::TempDir dir;
};

TEST_F(NetworkAdaptersTest, KindComesFromTheWirelessAndTunnelMarkersBeforeTheHardwareType) {
    struct Case {
        FakeAdapter adapter;
        std::optional<AdapterType> expected;
    };
    const Case cases[] = {
        {{"eth0", "1"}, AdapterType::Ethernet},
        {{"wlan0", "1", {"wireless"}}, AdapterType::Wireless},
        {{"wlp2s0", "1", {"phy80211"}}, AdapterType::Wireless},
        {{"tun0", "65534", {"tun_flags"}}, AdapterType::Tunnel},
        {{"tap0", "1", {"tun_flags"}}, AdapterType::Tunnel},
        {{"ipip0", "768"}, AdapterType::Tunnel},
        {{"ip6tnl0", "769"}, AdapterType::Tunnel},
        {{"sit0", "776"}, AdapterType::Tunnel},
        {{"gre0", "778"}, AdapterType::Tunnel},
        {{"ip6gre0", "823"}, AdapterType::Tunnel},
        {{"wg0", "65534"}, AdapterType::Tunnel},
        {{"lo", "772"}, std::nullopt},
        {{"ib0", "32"}, std::nullopt},
        {{"odd0", "garbage"}, std::nullopt},
        {{"bare0", nullptr}, std::nullopt},
    };
    for (const Case& c : cases) {
        add(c.adapter);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.adapter.name);
        EXPECT_EQ(classify_adapter(root(), c.adapter.name), c.expected);
    }
    EXPECT_EQ(classify_adapter(root(), "missing0"), std::nullopt);
}

TEST_F(NetworkAdaptersTest, ListsUpAdaptersOfOfferedKindsOnceInSystemOrder) {
    add({"lo", "772"});
    add({"eth0", "1", {}, "Uplink port"});
    add({"wlan0", "1", {"wireless"}});
    add({"tun0", "65534", {"tun_flags"}});
    add({"eth1", "1"});  // cable out: up but not running
    add({"eth2", "1"});  // switched off
    add({"ib0", "32"});
    const std::vector<SystemInterface> listed = {
        {"lo", kUp | IFF_LOOPBACK},
        {"tun0", kUp},
        {"eth0", kUp},
        {"eth1", IFF_UP},
        {"eth2", 0},
        {"ib0", kUp},
        {"wlan0", kUp},
        {"eth0", kUp},  // a second address of the same adapter
        {"tun0", kUp},
    };

    const std::vector<NetworkAdapter> adapters = adapters_from(listed, root());

    ASSERT_EQ(adapters.size(), 3U);
    const struct {
        AdapterType type;
        const char* friendly;
        const char* name;
    } expected[] = {
        {AdapterType::Tunnel, "tun0 - Tunnel adapter", "tun0"},
        {AdapterType::Ethernet, "eth0 - Uplink port", "eth0"},
        {AdapterType::Wireless, "wlan0 - Wireless adapter", "wlan0"},
    };
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(adapters[i].type, expected[i].type);
        EXPECT_EQ(adapters[i].friendly_name, expected[i].friendly);
        EXPECT_EQ(adapters[i].adapter_name, expected[i].name);
    }
    EXPECT_EQ(adapters_from({{"eth9", kUp}}, root()).size(), 0U);  // gone from sysfs meanwhile
}

TEST(NetworkAdaptersSystemTest, TheMachinesListingNamesEachAdapterOnceAndNeverLoopback) {
    std::set<std::string> names;
    for (const NetworkAdapter& adapter : list_network_adapters()) {
        SCOPED_TRACE(adapter.adapter_name);
        EXPECT_TRUE(names.insert(adapter.adapter_name).second);
        EXPECT_NE(adapter.adapter_name, "lo");
        EXPECT_EQ(adapter.friendly_name.rfind(adapter.adapter_name + " - ", 0), 0U);
    }
}

}  // namespace
}  // namespace velmora::platform
