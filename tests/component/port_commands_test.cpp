// Port reports and changes and the adapter selection, on a real engine held to loopback.
#include "velmora/host/port_commands.h"

#include <chrono>
#include <ctime>
#include <future>
#include <thread>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libtorrent/extensions.hpp>
#include <libtorrent/session.hpp>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client_rig.h"
#include "support/recording_desktop.h"
#include "support/recording_keep_awake.h"
#include "support/temp_dir.h"
#include "velmora/bridge/headless_ui_engine.h"
#include "velmora/engine/engine_session.h"
#include "velmora/host/client.h"

namespace velmora::host {
namespace {

using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;
using sp = lt::settings_pack;

// A TCP socket on 127.0.0.1, bound to a port of the system's choosing or connected to one.
class LoopbackSocket {
public:
    LoopbackSocket() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {}
    ~LoopbackSocket() { ::close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    std::int32_t bind_any() {
        sockaddr_in address = loopback(0);
        if (::bind(fd_, as_sockaddr(address), sizeof address) != 0) {
            return 0;
        }
        socklen_t size = sizeof address;
        ::getsockname(fd_, as_sockaddr(address), &size);
        return ntohs(address.sin_port);
    }
    bool connect_to(std::int32_t port) {
        sockaddr_in address = loopback(port);
        return ::connect(fd_, as_sockaddr(address), sizeof address) == 0;
    }

private:
    static sockaddr_in loopback(std::int32_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    static sockaddr* as_sockaddr(sockaddr_in& address) {
        return reinterpret_cast<sockaddr*>(&address);
    }

    int fd_;
};

// Two ports nobody listens on; both are held while the second is drawn, so they differ.
std::pair<std::int32_t, std::int32_t> free_port_pair() {
    LoopbackSocket first;
    LoopbackSocket second;
    return {first.bind_any(), second.bind_any()};
}

std::string loopback_listen(std::int32_t port, std::int32_t ssl_port) {
    const std::string p = std::to_string(port);
    const std::string s = std::to_string(ssl_port);
    return "127.0.0.1:" + p + ",[::1]:" + p + ",127.0.0.1:" + s + "s,[::1]:" + s + "s";
}

// Holds the engine's network thread inside a plugin callback until released, so a settings
// change queued behind it cannot finish.
class NetworkThreadStall final : public lt::plugin {
public:
    void added(const lt::session_handle&) override {
        entered_.set_value();
        release_future_.wait();
    }
    bool wait_entered() {
        return entered_future_.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
    void release() {
        if (!released_) {
            released_ = true;
            release_.set_value();
        }
    }

private:
    std::promise<void> entered_;
    std::future<void> entered_future_ = entered_.get_future();
    std::promise<void> release_;
    std::shared_future<void> release_future_ = release_.get_future().share();
    bool released_ = false;
};

class PortCommandsTest : public ClientRig {
protected:
    UiValue command(std::string_view name, const UiArray& args = {}) {
        return ui.command(name, args).value_or(UiValue());
    }

    // Serves the gui loop (the engine's events arrive through it) until `done` holds.
    bool serve_until(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::atomic<bool> stop{false};
        std::thread waker([&] {
            while (!stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                loop.wake();
            }
        });
        bool met = false;
        // `done` is asked once per turn: it may be a command with effects
        loop.run_until([&] {
            met = done();
            return met || std::chrono::steady_clock::now() > deadline;
        });
        stop = true;
        waker.join();
        return met;
    }

    bool port_variable_seen(std::int32_t port, std::int32_t ssl_port) const {
        const UiValue wanted(UiArray{UiValue(port), UiValue(ssl_port)});
        for (const auto& event : ui.events_named("set_port_variable")) {
            if (event.arg == wanted) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(PortCommandsTest, PortChangeReopensOnLoopbackAndRefusesAnotherMeanwhile) {
    const auto [port, ssl_port] = free_port_pair();
    ASSERT_NE(port, 0);
    ASSERT_NE(ssl_port, 0);
    with_client([&](Client& client) {
        lt::session& session = client.engine_session().session();
        command("start_timer");
        auto stall = std::make_shared<NetworkThreadStall>();
        session.add_extension(stall);
        ASSERT_TRUE(stall->wait_entered());

        EXPECT_EQ(command("set_current_port", {UiValue(port), UiValue(ssl_port)}), UiValue(true));
        EXPECT_EQ(command("set_current_port", {UiValue(ssl_port), UiValue(port)}), UiValue(false));
        stall->release();

        ASSERT_TRUE(serve_until([&] { return port_variable_seen(port, ssl_port); }));
        const lt::settings_pack applied = session.get_settings();
        EXPECT_EQ(applied.get_str(sp::listen_interfaces), loopback_listen(port, ssl_port));
        EXPECT_EQ(applied.get_str(sp::outgoing_interfaces), "");
        EXPECT_EQ(session.listen_port(), port);
        EXPECT_EQ(client.settings().port, port);
        EXPECT_EQ(client.settings().ssl_port, ssl_port);
        LoopbackSocket peer;
        EXPECT_TRUE(peer.connect_to(port));
        // once the change is over the next one is taken again
        EXPECT_TRUE(serve_until([&] {
            return command("set_current_port", {UiValue(port), UiValue(ssl_port)}) == UiValue(true);
        }));
    });
}

TEST_F(PortCommandsTest, CurrentPortIsReadFromTheSessionAndStored) {
    with_client([&](Client& client) {
        lt::session& session = client.engine_session().session();
        client.settings().port = 1;
        client.settings().ssl_port = 2;
        const UiValue reported = command("get_current_port");
        EXPECT_NE(session.listen_port(), 0);
        EXPECT_EQ(reported, UiValue(UiArray{UiValue(std::int32_t{session.listen_port()}),
                                            UiValue(std::int32_t{session.ssl_listen_port()})}));
        EXPECT_EQ(client.settings().port, session.listen_port());
        EXPECT_EQ(client.settings().ssl_port, session.ssl_listen_port());
    });
}

TEST_F(PortCommandsTest, RandomPortIsTheSameWithinOneSecondAndInTheDynamicRange) {
    with_client([&](Client&) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const std::time_t before = std::time(nullptr);
            const UiValue first = command("get_random_port");
            const UiValue second = command("get_random_port");
            if (std::time(nullptr) != before) {
                continue;  // the second turned between the draws
            }
            ASSERT_TRUE(first.is_int());
            EXPECT_EQ(first, second);
            EXPECT_GE(first.as_int(), 49152);
            EXPECT_LE(first.as_int(), 65535);
            return;
        }
        FAIL() << "no two draws within one second";
    });
}

TEST_F(PortCommandsTest, AdapterSelectionIsStoredAndTheEngineStaysOnLoopback) {
    with_client([&](Client& client) {
        lt::session& session = client.engine_session().session();
        EXPECT_EQ(command("set_lock_adapter", {UiValue(true)}), UiValue(true));
        EXPECT_EQ(command("get_lock_adapter"), UiValue(true));
        const UiArray chosen = {
            UiValue(UiMap{{"adaptername", UiValue("a")}, {"selected", UiValue(true)}}),
            UiValue(UiMap{{"adaptername", UiValue("x")}, {"selected", UiValue(false)}}),
            UiValue(UiMap{{"adaptername", UiValue("b")}, {"selected", UiValue(true)}}),
        };
        EXPECT_EQ(command("do_set_network_adapters", {UiValue(chosen)}), UiValue(true));
        EXPECT_EQ(client.settings().listen_interfaces, "a,b");
        EXPECT_EQ(client.settings().outgoing_interfaces, "a,b");
        const lt::settings_pack applied = session.get_settings();
        EXPECT_EQ(applied.get_str(sp::listen_interfaces),
                  loopback_listen(client.settings().port, client.settings().ssl_port));
        EXPECT_EQ(applied.get_str(sp::outgoing_interfaces), "");

        const UiValue listed = command("do_get_network_adapters");
        ASSERT_TRUE(listed.is_array());
        for (const UiValue& adapter : listed.as_array()) {
            ASSERT_TRUE(adapter.is_map());
            ASSERT_EQ(adapter.as_map().size(), 3U);
            EXPECT_EQ(adapter.as_map()[0].first, "type");
            EXPECT_EQ(adapter.as_map()[1].first, "friendlyname");
            EXPECT_EQ(adapter.as_map()[2].first, "adaptername");
        }
    });
}

// The interface texts of the open network are only composed here, never applied.
TEST(RebindInterfacesTest, ComposesTheOpenNetworkAndLoopbackForms) {
    struct Case {
        const char* label;
        bool lock;
        int port_type;
        const char* adapters;
        bool loopback_only;
        const char* listen;
        const char* outgoing;
    };
    const Case cases[] = {
        {"every address", false, 1, "", false, "0.0.0.0:6881,[::]:6881,0.0.0.0:4433s,[::]:4433s",
         ""},
        {"random port type plays no part", false, 3, "eth0", false,
         "0.0.0.0:6881,[::]:6881,0.0.0.0:4433s,[::]:4433s", ""},
        {"system port type plays no part", false, 2, "", false,
         "0.0.0.0:6881,[::]:6881,0.0.0.0:4433s,[::]:4433s", ""},
        {"through the adapters", true, 3, "eth0,wlan0", false,
         "eth0:6881,eth0:4433s,wlan0:6881,wlan0:4433s", "eth0,wlan0"},
        {"no adapter chosen", true, 1, "", false, "", ""},
        {"loopback ignores the lock", true, 1, "eth0", true,
         "127.0.0.1:6881,[::1]:6881,127.0.0.1:4433s,[::1]:4433s", ""},
        {"loopback without the lock", false, 3, "", true,
         "127.0.0.1:6881,[::1]:6881,127.0.0.1:4433s,[::1]:4433s", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        config::ClientSettings settings;
        settings.port = 7000;  // the stored ports give way to the ones asked for
        settings.ssl_port = 7001;
        settings.lock_adapter = c.lock;
        settings.port_type = c.port_type;
        settings.listen_interfaces = c.adapters;
        const engine::Interfaces got = rebind_interfaces(settings, 6881, 4433, c.loopback_only);
        EXPECT_EQ(got.listen, c.listen);
        EXPECT_EQ(got.outgoing, c.outgoing);
    }
}

TEST(PortChangePackTest, SwitchesTheServicesOffInTheEngineOnly) {
    config::ClientSettings settings;
    settings.use_upnp = settings.use_natpmp = settings.use_lsd = settings.use_dht = true;
    const lt::settings_pack pack = port_change_pack(settings, 6881, 4433, true);
    for (const int key : {sp::enable_upnp, sp::enable_natpmp, sp::enable_lsd, sp::enable_dht}) {
        SCOPED_TRACE(lt::name_for_setting(key));
        EXPECT_TRUE(pack.has_val(key));
        EXPECT_FALSE(pack.get_bool(key));
    }
    EXPECT_EQ(pack.get_str(sp::listen_interfaces), loopback_listen(6881, 4433));
    EXPECT_TRUE(settings.use_upnp);
}

TEST(SelectedAdapterListTest, JoinsTheSelectedNamesInOrder) {
    const auto entry = [](const char* name, UiValue selected) {
        return UiValue(UiMap{{"type", UiValue(3)},
                             {"adaptername", UiValue(name)},
                             {"selected", std::move(selected)}});
    };
    struct Case {
        UiArray adapters;
        const char* expected;
    };
    const Case cases[] = {
        {{}, ""},
        {{entry("a", false), entry("b", UiValue())}, ""},
        {{entry("a", true)}, "a"},
        {{entry("a", true), entry("x", false), entry("b", 1)}, "a,b"},
        {{UiValue("not a map"), entry("c", true)}, "c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(selected_adapter_list(c.adapters), c.expected);
    }
}

}  // namespace
}  // namespace velmora::host
