// What the server's connections share on the io thread; included by the Beast sources only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "velmora/platform/linux/web/dropped_files.h"
#include "velmora/platform/linux/web/page_stores.h"
#include "velmora/platform/linux/web/web_server.h"

namespace velmora::platform {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Request = http::request<http::string_body>;

// Connections beyond this are closed as soon as they are accepted.
inline constexpr std::size_t kMaxConnections = 256;
// How long one HTTP request may take to arrive, and its answer to leave.
inline constexpr std::chrono::seconds kHttpTimeout{30};
inline constexpr std::uint32_t kMaxHeaderBytes = 16U * 1024U;

inline std::string_view to_std(beast::string_view text) {
    return {text.data(), text.size()};
}

// One live connection, as the server's stop sees it.
class Connection {
public:
    virtual ~Connection() = default;
    // Thread: io. Closes the socket at once.
    virtual void shut() = 0;
};

struct WebServer::Context {
    explicit Context(WebServerConfig config, std::shared_ptr<PageRegistry> page_registry);

    // Thread: io. Tracks `connection` until it is gone; false when the server is full.
    bool admit(const std::shared_ptr<Connection>& connection);

    // First member: destroyed last, after everything its pending handlers refer to.
    net::io_context io;
    tcp::acceptor acceptor{io};
    std::uint16_t port = 0;
    std::string token;
    ArchiveLookup archive_lookup;
    PageStores stores;
    std::shared_ptr<DroppedFiles> dropped_files;
    std::shared_ptr<PageRegistry> pages;
    std::vector<std::weak_ptr<Connection>> connections;  // io thread only
    std::thread thread;
};

// Thread: io. Serves HTTP requests on an accepted socket until it closes.
void serve_http(WebServer::Context& context, tcp::socket socket);
// How a page takes the client's messages: one per frame, or, for a page that asked for them
// ("batch=1"), the messages that queued up behind a write together in one frame.
enum class Framing { Single, Batches };

// Thread: io. Completes the WebSocket handshake of `upgrade` and carries one page.
void serve_page_socket(WebServer::Context& context,
                       beast::tcp_stream stream,
                       Request upgrade,
                       bool is_main,
                       Framing framing);

}  // namespace velmora::platform
