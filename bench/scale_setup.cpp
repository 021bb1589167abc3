// The client's side of the scale benchmark's set-up, from the client's own code: the settings
// file of a loopback-only home, and the engine settings the client builds from such a file, so
// that the bare session it is measured against runs with exactly the same engine settings.
//
// Usage: scale_setup settings FILE   writes the settings file of a loopback-only home
//        scale_setup pack FILE       prints the engine settings for FILE as one JSON object
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string_view>

#include <libtorrent/settings_pack.hpp>
#include <nlohmann/json.hpp>

#include "velmora/config/advanced_settings_xml.h"
#include "velmora/engine/session_settings.h"

namespace {

using velmora::config::ClientSettings;

// What the tests' clients run with: nothing but loopback, ports of the system's choosing, no
// uTP, and the machine never held awake.
ClientSettings loopback_settings() {
    ClientSettings s;
    s.use_dht = false;
    s.use_lsd = false;
    s.use_upnp = false;
    s.use_natpmp = false;
    s.enable_incoming_utp = false;
    s.enable_outgoing_utp = false;
    s.port_type = 2;
    s.allow_multiple_connections_per_ip = true;
    s.respect_sleep = true;
    return s;
}

// Every key the pack sets, by the engine's own names: what a Python session takes as its
// settings dictionary.
nlohmann::json pack_json(const lt::settings_pack& pack) {
    using sp = lt::settings_pack;
    nlohmann::json out = nlohmann::json::object();
    for (int i = 0; i < sp::num_string_settings; ++i) {
        const int key = sp::string_type_base + i;
        if (pack.has_val(key)) {
            out[lt::name_for_setting(key)] = pack.get_str(key);
        }
    }
    for (int i = 0; i < sp::num_int_settings; ++i) {
        const int key = sp::int_type_base + i;
        if (pack.has_val(key)) {
            out[lt::name_for_setting(key)] = pack.get_int(key);
        }
    }
    for (int i = 0; i < sp::num_bool_settings; ++i) {
        const int key = sp::bool_type_base + i;
        if (pack.has_val(key)) {
            out[lt::name_for_setting(key)] = pack.get_bool(key);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: scale_setup settings|pack FILE\n";
        return 2;
    }
    const std::string_view mode = argv[1];
    if (mode == "settings") {
        return velmora::config::save_advanced_settings(argv[2], loopback_settings()) ? 0 : 1;
    }
    if (mode != "pack") {
        std::cerr << "scale_setup: unknown mode " << mode << '\n';
        return 2;
    }
    ClientSettings settings;
    if (const auto problem = velmora::config::load_advanced_settings(argv[2], settings)) {
        std::cerr << "scale_setup: " << problem->detail << '\n';
        return 1;
    }
    namespace engine = velmora::engine;
    const engine::PackInputs inputs{
        engine::alert_setup(settings),
        engine::loopback_interfaces_for(settings, engine::draw_random_port(std::time(nullptr))),
        true};
    std::cout << pack_json(engine::settings_pack_for(settings, inputs)).dump() << '\n';
    return 0;
}
