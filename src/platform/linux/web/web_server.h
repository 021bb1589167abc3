// The loopback HTTP and WebSocket server behind the web UI engine.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::platform {

class DroppedFiles;
class PageRegistry;

// An entry of the page archive by its path below "/app/"; nullopt when there is none.
using ArchiveLookup = std::function<std::optional<std::string>(std::string_view)>;

struct WebServerConfig {
    std::uint16_t port = 0;  // 0 = a free port
    std::string token;
    std::filesystem::path store_folder;
    ArchiveLookup archive_lookup;
    std::shared_ptr<DroppedFiles> dropped_files;  // where POST /drop keeps its uploads
};

// Thread: the owner's (gui) for every method; connections are served on one io thread of
// the server's own.
class WebServer {
public:
    // Listens on 127.0.0.1 and starts the io thread; nullptr with `error` set on failure.
    static std::unique_ptr<WebServer> start(WebServerConfig config,
                                            std::shared_ptr<PageRegistry> pages,
                                            std::string& error);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    std::uint16_t port() const { return port_; }
    // Runs `fn` on the io thread after `delay`; dropped if the server stops first.
    void run_after(std::chrono::milliseconds delay, std::function<void()> fn);
    // Closes the listener and every connection (pages see their socket close), then joins
    // the io thread. Idempotent.
    void stop();

    struct Context;

private:
    WebServer(std::unique_ptr<Context> context, std::uint16_t port);

    std::unique_ptr<Context> context_;
    std::uint16_t port_ = 0;
};

}  // namespace velmora::platform
