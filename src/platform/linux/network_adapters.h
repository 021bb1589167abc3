// The machine's network adapters, as the adapter lock offers them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::platform {

// The adapter kinds the pages offer; their numbers are what the pages receive.
enum class AdapterType { Tunnel = 1, Wireless = 2, Ethernet = 3 };

struct NetworkAdapter {
    AdapterType type = AdapterType::Ethernet;
    std::string friendly_name;  // "<name> - <description>"
    std::string adapter_name;   // the name the engine accepts in its interface lists
};

// One interface as the system lists it: once per address it carries.
struct SystemInterface {
    std::string name;
    unsigned flags = 0;  // IFF_* bits
};

inline const std::filesystem::path kSysClassNet = "/sys/class/net";

// The kind of the adapter `name` from its folder under `sysfs_net_root`; nullopt for the kinds
// that are not offered (loopback and anything unknown).
std::optional<AdapterType> classify_adapter(const std::filesystem::path& sysfs_net_root,
                                            std::string_view name);

// The adapters that are up and of an offered kind, in the system's order, each name once.
std::vector<NetworkAdapter> adapters_from(const std::vector<SystemInterface>& interfaces,
                                          const std::filesystem::path& sysfs_net_root);

// Thread: any. The machine's adapters now; empty when the system cannot list them.
std::vector<NetworkAdapter> list_network_adapters();

}  // namespace velmora::platform
