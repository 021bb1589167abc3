// The listener on 127.0.0.1 and the io thread that serves every connection.
#include "velmora/platform/linux/web/web_server.h"

#include <algorithm>
#include <iostream>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "velmora/platform/linux/web/server_context.h"

namespace velmora::platform {
namespace {

void accept_next(WebServer::Context& context) {
    context.acceptor.async_accept([&context](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !context.acceptor.is_open()) {
            return;  // the server is stopping
        }
        if (!ec) {
            serve_http(context, std::move(socket));
        }
        // other accept errors (out of descriptors, a reset peer) concern one socket only
        accept_next(context);
    });
}

void run_io(WebServer::Context& context) {
    while (true) {
        try {
            context.io.run();
            return;
        } catch (const std::exception& e) {
            // a handler failed (out of memory): that connection is lost, the others go on
            std::cerr << "velmora: web UI connection failed: " << e.what() << '\n';
        }
    }
}

}  // namespace

WebServer::Context::Context(WebServerConfig config, std::shared_ptr<PageRegistry> page_registry)
    : io(1),
      token(std::move(config.token)),
      archive_lookup(std::move(config.archive_lookup)),
      stores(std::move(config.store_folder)),
      dropped_files(std::move(config.dropped_files)),
      pages(std::move(page_registry)) {}

bool WebServer::Context::admit(const std::shared_ptr<Connection>& connection) {
    std::erase_if(connections, [](const auto& weak) { return weak.expired(); });
    if (connections.size() >= kMaxConnections) {
        return false;
    }
    connections.push_back(connection);
    return true;
}

WebServer::WebServer(std::unique_ptr<Context> context, std::uint16_t port)
    : context_(std::move(context)), port_(port) {}

WebServer::~WebServer() {
    stop();
}

std::unique_ptr<WebServer> WebServer::start(WebServerConfig config,
                                            std::shared_ptr<PageRegistry> pages,
                                            std::string& error) {
    const std::uint16_t wanted_port = config.port;
    auto context = std::make_unique<Context>(std::move(config), std::move(pages));
    beast::error_code ec;
    const tcp::endpoint endpoint(net::ip::address_v4::loopback(), wanted_port);
    auto& acceptor = context->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(wanted_port) + ": " + ec.message();
        return nullptr;
    }
    context->port = acceptor.local_endpoint(ec).port();
    if (ec) {
        error = "cannot read the listening port: " + ec.message();
        return nullptr;
    }
    accept_next(*context);
    context->thread = std::thread([ctx = context.get()] { run_io(*ctx); });
    const std::uint16_t port = context->port;
    return std::unique_ptr<WebServer>(new WebServer(std::move(context), port));
}

void WebServer::run_after(std::chrono::milliseconds delay, std::function<void()> fn) {
    if (!context_) {
        return;
    }
    net::post(context_->io, [&io = context_->io, delay, fn = std::move(fn)]() mutable {
        auto timer = std::make_shared<net::steady_timer>(io, delay);
        timer->async_wait([timer, fn = std::move(fn)](beast::error_code ec) {
            if (!ec) {
                fn();
            }
        });
    });
}

void WebServer::stop() {
    if (!context_) {
        return;
    }
    Context& context = *context_;
    net::post(context.io, [&context] {
        beast::error_code ignored;
        context.acceptor.close(ignored);
        for (const auto& weak : context.connections) {
            if (auto connection = weak.lock()) {
                connection->shut();
            }
        }
        context.io.stop();
    });
    if (context.thread.joinable()) {
        context.thread.join();
    }
    // handlers that never ran die here, on the caller's thread, with their connections
    context_.reset();
}

}  // namespace velmora::platform
