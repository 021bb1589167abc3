// Generic page commands: files, addresses, version and logging.
#include "velmora/host/generic_commands.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

#include <boost/asio/ip/address.hpp>
#include <unistd.h>

#include "velmora/bridge/ui_json.h"
#include "velmora/config/client_settings.h"
#include "velmora/engine/client_functions.h"
#include "velmora/host/desktop.h"
#include "velmora/services/file_kinds.h"

namespace velmora::host {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBuildNumber = "2960";
constexpr std::size_t kVersionElements = 13;

bool is_directory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

}  // namespace

UiValue cmd_log(const CommandArgs& args) {
    std::string line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += bridge::to_json_text(args[i]);
    }
    std::cerr << line << '\n';
    return UiValue();
}

UiValue cmd_play_sound(CommandContext& ctx, const CommandArgs& /*args*/) {
    ctx.desktop.play_default_sound();
    return UiValue(true);
}

UiValue cmd_file_exists(const CommandArgs& args) {
    std::error_code ec;
    const std::string path = args.text_at(0);
    return UiValue(!path.empty() && fs::exists(fs::symlink_status(path, ec)));
}

UiValue cmd_file_open(CommandContext& ctx, const CommandArgs& args) {
    const std::string path = args.text_at(1);
    if (args.bool_at(0)) {
        ctx.desktop.open_file(path);
    } else {
        ctx.desktop.show_in_folder(path);
    }
    return UiValue(true);
}

UiValue cmd_file_folder_open(CommandContext& ctx, const CommandArgs& args) {
    const std::string path = args.text_at(0);
    if (is_directory(path)) {
        ctx.desktop.open_folder(path);
    } else {
        ctx.desktop.show_in_folder(path);
    }
    return UiValue(true);
}

UiValue cmd_delete_file_direct(const CommandArgs& args) {
    // unlink removes files only, never a folder, as the command promises
    const std::string path = args.text_at(0);
    return UiValue(std::int32_t{::unlink(path.c_str()) == 0 ? 1 : 0});
}

UiValue cmd_get_filename_from_path(const CommandArgs& args) {
    const fs::path path(args.text_at(0));
    std::string name = path.filename().string();
    // The extension is the part from the last dot of the final component, even when the dot
    // is its first character.
    const auto dot = name.rfind('.');
    std::string extension;
    if (dot != std::string::npos) {
        extension = name.substr(dot);
        name.resize(dot);
    }
    return UiValue(args.bool_at(1) ? name + extension : name);
}

bool is_valid_file_name(std::string_view name) {
    if (name.empty() || name.front() == ' ' || name.back() == ' ') {
        return false;
    }
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || std::string_view("<>:\"/\\|").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return name.back() != '.' || name == "." || name == "..";
}

UiValue cmd_validate_file_name(const CommandArgs& args) {
    return UiValue(is_valid_file_name(args.text_at(0)));
}

UiValue cmd_get_is_executable_file(const CommandArgs& args) {
    return UiValue(services::is_program_or_archive(args.text_at(0)));
}

UiValue cmd_do_validate_ip(const CommandArgs& args) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(args.text_at(0), ec);
    if (ec) {
        return UiValue(std::int32_t{-1});
    }
    return UiValue(std::int32_t{address.is_v4() ? 1 : 2});
}

UiValue cmd_is_ipv4_or_ipv6(const CommandArgs& args) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(args.text_at(0), ec);
    return UiValue(std::int32_t{!ec && address.is_v6() ? 1 : 0});
}

UiValue cmd_get_version(const CommandArgs& /*args*/) {
    bridge::UiArray version(kVersionElements, UiValue(std::string()));
    version[0] = UiValue(kBuildNumber);
    version[1] = UiValue(std::string(config::kAppGuid));
    version[12] = UiValue(" (x64) " + std::string(config::kAppVersion));
    return UiValue(std::move(version));
}

UiValue cmd_get_formated_size(const CommandArgs& args) {
    return UiValue(engine::size_text(args.int_at(0)));
}

}  // namespace velmora::host
