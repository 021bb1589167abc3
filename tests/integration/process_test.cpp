// The real client process: console round trip, single-instance forwarding, termination.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/console_page.h"
#include "support/temp_dir.h"

namespace velmora::test {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kEnv = {"VELMORA_LOOPBACK_ONLY=1"};

std::vector<std::string> console_client(const TempDir& home, std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {velmora_binary(), "--ui", "console", "--home",
                                     home.path().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

void wait_for_file(const std::filesystem::path& p) {
    for (int i = 0; i < 500 && !std::filesystem::exists(p); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::exists(p)) << p;
}

// Every call the page gets is answered, whatever start-up asks on the way; the saved page
// settings are none.
ConsolePage::Answer settings_only_answers() {
    return [](const PageCall& call) {
        return call.fn == "get_resume_data" ? nlohmann::json(0) : nlohmann::json();
    };
}

// Start-up is through once the client asks for the torrents of the last run.
bool started(ConsolePage& page) {
    return page.serve_until([&] { return !page.calls_of("get_torrents_to_restore").empty(); }, 10s);
}

TEST(ClientProcess, ConsoleRoundTripThenEndOfInputExits) {
    TempDir home;
    ChildProcess client(console_client(home), kEnv);
    client.write_stdin(R"({"t":"cmd","id":1,"name":"get_version","args":[]})"
                       "\n");
    client.close_stdin();
    ASSERT_EQ(client.wait(20s), 0) << client.stderr_text();
    const std::string out = client.stdout_text();
    // input may end before "get_resume_data" goes out; then that call reads as undefined
    EXPECT_NE(
        out.find(
            R"({"t":"ret","id":1,"handled":true,"value":["2960","D1627B42-272F-4E8F-AAF2-3301C747C2F2","","","","","","","","","",""," (x64) 2.9.6.0"]})"),
        std::string::npos)
        << out;
    EXPECT_TRUE(std::filesystem::exists(home / "advanced-client-settings.xml"));
}

TEST(ClientProcess, BadPageInputIsAnsweredAndTheClientGoesOn) {
    TempDir home;
    ChildProcess client(console_client(home), kEnv);
    client.read_stdout_until("get_resume_data", 10s);
    client.write_stdin(R"({"t":"reply","id":1,"value":0})"
                       "\n");
    client.write_stdin("this is not json\n");
    client.write_stdin(std::string(17U << 20, 'x') + "\n");
    client.write_stdin(R"({"t":"cmd","id":2,"name":"get_version","args":[1]})"
                       "\n");
    client.write_stdin(R"({"t":"cmd","id":3,"name":"do_validate_ip","args":[[1,2]]})"
                       "\n");
    client.write_stdin(R"({"t":"cmd","id":4,"name":"get_formated_size","args":[2400016]})"
                       "\n");
    const std::string out = client.read_stdout_until(R"("id":4)", 10s);
    client.close_stdin();
    ASSERT_EQ(client.wait(20s), 0);
    EXPECT_NE(out.find(R"("message":"message is not valid JSON")"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("message":"message too large")"), std::string::npos) << out;
    EXPECT_NE(out.find(R"({"t":"ret","id":2,"handled":false,"value":null})"), std::string::npos);
    EXPECT_NE(out.find(R"({"t":"ret","id":3,"handled":true,"value":-1})"), std::string::npos);
    EXPECT_NE(out.find(R"({"t":"ret","id":4,"handled":true,"value":"2.28 MB"})"),
              std::string::npos);
}

TEST(ClientProcess, ASecondCopyForwardsItsArgumentsInOrderAndExits) {
    TempDir home;
    ChildProcess first(console_client(home), kEnv);
    ConsolePage page(first);
    ASSERT_TRUE(page.serve_until([&] { return !page.calls_of("get_resume_data").empty(); }));
    wait_for_file(home / "instance.sock");

    // the first copy's page answers the add flows while the second one waits for them
    std::atomic<bool> done{false};
    std::thread serving([&] { page.serve_until([&] { return done.load(); }, 60s); });
    ChildProcess second(console_client(home, {"/m", "b.torrent", "a.vtr", "magnet:?xt=urn:btih:1"}),
                        kEnv);
    EXPECT_EQ(second.wait(20s), 0);
    ChildProcess only_m(console_client(home, {"/m"}), kEnv);
    EXPECT_EQ(only_m.wait(20s), 0);
    done = true;
    serving.join();

    std::vector<std::string> routed;
    for (const auto& call : page.calls()) {
        if (call.fn == "do_error_adding_torrent") {
            routed.push_back(call.arg[3].get<std::string>());
        } else if (call.fn == "vtr_error") {
            routed.push_back(call.arg[1].get<std::string>());
        } else if (call.fn == "add_magnet_error") {
            routed.push_back(call.arg[1].get<std::string>());
        }
    }
    EXPECT_EQ(routed, (std::vector<std::string>{"b.torrent", "a.vtr", "magnet:?xt=urn:btih:1"}));
    first.close_stdin();
    ASSERT_EQ(first.wait(20s), 0);
    EXPECT_FALSE(std::filesystem::exists(home / "instance.sock"));
}

TEST(ClientProcess, ALockWithoutAListenerWarnsOncePerArgument) {
    TempDir home;
    const int fd = ::open((home / "instance.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ChildProcess second(console_client(home, {"a.torrent", "/m", "b.torrent"}), kEnv);
    ASSERT_EQ(second.wait(20s), 0);
    ::close(fd);
    const std::string err = second.stderr_text();
    std::size_t count = 0;
    for (auto pos = err.find("Velmora is saving last session"); pos != std::string::npos;
         pos = err.find("Velmora is saving last session", pos + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 2U) << err;
}

TEST(ClientProcess, TerminationSignalsSaveTheSessionAndExitZero) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        TempDir home;
        ChildProcess client(console_client(home), kEnv);
        ConsolePage page(client, settings_only_answers());
        ASSERT_TRUE(started(page));
        wait_for_file(home / "instance.sock");
        client.signal(sig);
        EXPECT_TRUE(page.serve_until([&] { return !page.calls_of("logging_off").empty(); }, 10s));
        ASSERT_EQ(client.wait(20s), 0) << client.stderr_text();
        EXPECT_TRUE(std::filesystem::exists(home / "advanced-client-settings.xml"));
        EXPECT_FALSE(std::filesystem::exists(home / "instance.sock"));
    }
}

std::string command_output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            out += buffer;
        }
        ::pclose(pipe);
    }
    return out;
}

// The desktop's own tools see the client as the handler once the page asked for it.
TEST(ClientProcess, BecomingTheDefaultClientIsWhatTheDesktopReadsBack) {
    TempDir home;
    TempDir user;
    const std::string config = (user / ".config").string();
    const std::string data = (user / ".local/share").string();
    std::vector<std::string> env = kEnv;
    for (const auto& setting :
         {"HOME=" + user.path().string(), "XDG_CONFIG_HOME=" + config, "XDG_DATA_HOME=" + data}) {
        env.push_back(setting);
    }
    ChildProcess client(console_client(home), env);
    ConsolePage page(client, settings_only_answers());
    ASSERT_EQ(page.result_of(page.command("get_default_client_status")), false);
    ASSERT_EQ(page.result_of(page.command("do_set_as_default_client")), true);
    EXPECT_EQ(page.result_of(page.command("get_default_client_status")), true);
    EXPECT_TRUE(page.calls_of("post_registry_error").empty());
    client.close_stdin();
    ASSERT_EQ(client.wait(20s), 0) << client.stderr_text();

    const std::string mimeapps = (user / ".config/mimeapps.list").string();
    std::ifstream in(mimeapps);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* type :
         {"application/x-bittorrent", "x-scheme-handler/magnet", "application/x-vtr"}) {
        SCOPED_TRACE(type);
        EXPECT_NE(text.find(std::string(type) + "=velmora.desktop"), std::string::npos) << text;
        const std::string query =
            "env -u XDG_CURRENT_DESKTOP -u XDG_DATA_DIRS -u XDG_CONFIG_DIRS"
            " HOME='" +
            user.path().string() + "' XDG_CONFIG_HOME='" + config + "' XDG_DATA_HOME='" + data +
            "' xdg-mime query default " + type;
        EXPECT_EQ(command_output(query), "velmora.desktop\n");
    }
}

// A fault that nothing handles ends the process with its signal, never a hang, and leaves
// the single-instance lock free for the next start.
TEST(ClientProcess, FatalSignalsEndTheProcess) {
    const rlimit no_core{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &no_core), 0);  // the children inherit it
    for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        SCOPED_TRACE(sig);
        TempDir home;
        ChildProcess client(console_client(home), kEnv);
        ConsolePage page(client, settings_only_answers());
        ASSERT_TRUE(started(page));
        client.signal(sig);
        ASSERT_EQ(client.wait(10s), 128 + sig);
        EXPECT_NE(client.stderr_text().find("velmora: fatal signal"), std::string::npos);
        ChildProcess next(console_client(home), kEnv);
        ConsolePage next_page(next, settings_only_answers());
        EXPECT_TRUE(started(next_page));
        next.signal(SIGTERM);
        next_page.serve_until([&] { return !next_page.calls_of("logging_off").empty(); }, 10s);
        EXPECT_EQ(next.wait(20s), 0);
    }
}

}  // namespace
}  // namespace velmora::test
