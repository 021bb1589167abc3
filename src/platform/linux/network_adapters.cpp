// Adapters from getifaddrs, their kinds and descriptions from the kernel's sysfs entries.
#include "velmora/platform/linux/network_adapters.h"

#include <fstream>
#include <set>

#include <ifaddrs.h>
#include <net/if.h>

namespace velmora::platform {
namespace {

// Hardware types of the kernel's if_arp.h; the header itself is not needed for six numbers.
constexpr int kArpEther = 1;
constexpr int kArpTunnel = 768;
constexpr int kArpTunnel6 = 769;
constexpr int kArpSit = 776;
constexpr int kArpIpGre = 778;
constexpr int kArpIp6Gre = 823;
constexpr int kArpNone = 65534;  // what a layer-3 tun device reports

bool has_entry(const std::filesystem::path& path) {
    std::error_code ec;
    // a dangling link (the usual form of phy80211) still counts
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// The first line of a sysfs attribute without its line end; empty when unreadable.
std::string read_attribute(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

std::optional<int> hardware_type(const std::filesystem::path& folder) {
    std::ifstream in(folder / "type");
    int type = 0;
    if (in >> type) {
        return type;
    }
    return std::nullopt;
}

bool is_tunnel_type(int type) {
    switch (type) {
        case kArpNone:
        case kArpTunnel:
        case kArpTunnel6:
        case kArpSit:
        case kArpIpGre:
        case kArpIp6Gre:
            return true;
        default:
            return false;
    }
}

const char* description_of(AdapterType type) {
    switch (type) {
        case AdapterType::Tunnel:
            return "Tunnel adapter";
        case AdapterType::Wireless:
            return "Wireless adapter";
        case AdapterType::Ethernet:
            return "Ethernet adapter";
    }
    return "";
}

bool is_up(unsigned flags) {
    const unsigned wanted = IFF_UP | IFF_RUNNING;
    return (flags & wanted) == wanted;
}

}  // namespace

std::optional<AdapterType> classify_adapter(const std::filesystem::path& sysfs_net_root,
                                            std::string_view name) {
    const std::filesystem::path folder = sysfs_net_root / std::string(name);
    // wireless devices report the Ethernet hardware type too, so they are told apart first
    if (has_entry(folder / "wireless") || has_entry(folder / "phy80211")) {
        return AdapterType::Wireless;
    }
    const std::optional<int> type = hardware_type(folder);
    // a tap device is Ethernet on the wire but a tunnel to the user
    if (has_entry(folder / "tun_flags") || (type && is_tunnel_type(*type))) {
        return AdapterType::Tunnel;
    }
    if (type == kArpEther) {
        return AdapterType::Ethernet;
    }
    return std::nullopt;
}

std::vector<NetworkAdapter> adapters_from(const std::vector<SystemInterface>& interfaces,
                                          const std::filesystem::path& sysfs_net_root) {
    std::vector<NetworkAdapter> adapters;
    std::set<std::string, std::less<>> seen;
    for (const SystemInterface& listed : interfaces) {
        if (!seen.insert(listed.name).second || !is_up(listed.flags)) {
            continue;
        }
        const std::optional<AdapterType> type = classify_adapter(sysfs_net_root, listed.name);
        if (!type) {
            continue;
        }
        std::string description = read_attribute(sysfs_net_root / listed.name / "ifalias");
        if (description.empty()) {
            description = description_of(*type);
        }
        adapters.push_back({*type, listed.name + " - " + description, listed.name});
    }
    return adapters;
}

std::vector<NetworkAdapter> list_network_adapters() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return {};
    }
    std::vector<SystemInterface> interfaces;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name != nullptr) {
            interfaces.push_back({entry->ifa_name, entry->ifa_flags});
        }
    }
    ::freeifaddrs(list);
    return adapters_from(interfaces, kSysClassNet);
}

}  // namespace velmora::platform
