// Process-level start: the single-instance rule, then the client on the chosen UI engine.
#include "velmora/host/run.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>

#include "velmora/bridge/gui_marshal.h"
#include "velmora/host/client.h"
#include "velmora/host/command_line.h"
#include "velmora/logging/crash_report.h"
#include "velmora/platform/linux/console_ui_engine.h"
#include "velmora/platform/linux/logind_keep_awake.h"
#include "velmora/platform/linux/logind_power.h"
#include "velmora/platform/linux/single_instance.h"
#include "velmora/platform/linux/termination_signals.h"
#include "velmora/platform/linux/web/web_ui_engine.h"
#include "velmora/platform/linux/xdg_desktop.h"
#include "velmora/platform/linux/xdg_shell.h"

namespace velmora::host {
namespace {

std::unique_ptr<bridge::UiEngine> make_ui_engine(const CommandLine& line, const AppPaths& paths) {
    if (line.ui == UiKind::Console) {
        return std::make_unique<platform::ConsoleUiEngine>(stdin, stdout);
    }
    platform::WebUiOptions options;
    options.port = line.ui_port;
    options.open_window = line.open_window;
    options.url_file = paths.appdata_folder / "ui-url";
    options.store_folder = paths.appdata_folder;
    options.temp_folder = paths.temp_folder;
    return std::make_unique<platform::WebUiEngine>(std::move(options));
}

// The program that carries out the power actions; a test run names a harmless one.
std::filesystem::path power_program() {
    const char* chosen = std::getenv("VELMORA_POWER_PROGRAM");
    return chosen != nullptr && *chosen != '\0' ? std::filesystem::path(chosen)
                                                : std::filesystem::path("/usr/bin/systemctl");
}

std::filesystem::path running_program() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe;
}

}  // namespace

int run_velmora(int argc, const char* const* argv) {
    logging::install_crash_reporting();
    platform::block_termination_signals();
    const CommandLine line = parse_command_line(argc, argv);
    if (line.error) {
        std::cerr << "velmora: " << *line.error << '\n';
        return 2;
    }
    AppPaths paths = make_app_paths(PathEnvironment::from_process(line.home));
    // The lock lives in the app data folder, so that folder comes first.
    std::error_code ignored;
    std::filesystem::create_directories(paths.appdata_folder, ignored);
    auto lock = platform::InstanceLock::acquire(paths.appdata_folder);
    if (!lock) {
        platform::forward_to_running_instance(paths.appdata_folder, line.args, std::cerr);
        return 0;
    }

    bridge::GuiLoop loop;
    platform::XdgDesktop desktop;
    platform::LogindKeepAwake keep_awake;
    platform::XdgShell shell(platform::shell_folders_from_environment(), running_program());
    platform::LogindPower power(power_program());
    auto ui = make_ui_engine(line, paths);
    platform::InstanceListener listener;
    Client* client_ptr = nullptr;
    InstanceHooks hooks;
    const auto folder = paths.appdata_folder;
    hooks.start_listening = [&] {
        listener.start(folder, {[&](const std::string& text) {
                                    loop.run_on_gui([&] { client_ptr->route_argument(text); });
                                },
                                [&] { loop.run_on_gui([&] { ui->show_main_window(); }); }});
    };
    hooks.release = [&] {
        listener.stop();
        lock->release();
    };
    Client client(loop, *ui, desktop, keep_awake, std::move(paths), std::move(hooks),
                  {&shell, &power});
    client_ptr = &client;
    platform::watch_termination_signals([&client](int) { client.on_termination_signal(); });
    return client.run(line.args);
}

}  // namespace velmora::host
