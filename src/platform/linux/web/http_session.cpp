// HTTP on one connection: the request checks, the archive, the page stores, the listing and
// the uploads of dropped files.
#include <iostream>
#include <limits>
#include <optional>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <nlohmann/json.hpp>

#include "velmora/bridge/wire_protocol.h"
#include "velmora/platform/linux/web/dropped_files.h"
#include "velmora/platform/linux/web/folder_listing.h"
#include "velmora/platform/linux/web/request_rules.h"
#include "velmora/platform/linux/web/server_context.h"

namespace velmora::platform {
namespace {

using Response = http::response<http::string_body>;

constexpr std::size_t kMaxStoreBodyBytes = bridge::kMaxPageMessageBytes;
constexpr std::size_t kMaxOtherBodyBytes = 64U * 1024U;

struct Target {
    std::string_view path;
    std::string_view query;
};

Target split_target(std::string_view target) {
    const std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) {
        return {target, {}};
    }
    return {target.substr(0, mark), target.substr(mark + 1)};
}

// Whether the request may be served, and whether it proved itself by the token in its URL.
struct Admission {
    http::status refusal = http::status::ok;
    bool token_in_query = false;
};

bool has_token_cookie(const Request& request, std::string_view token) {
    const auto cookies = request.equal_range(http::field::cookie);
    for (auto it = cookies.first; it != cookies.second; ++it) {
        const auto value = cookie_value(to_std(it->value()), kTokenCookie);
        if (value && tokens_equal(*value, token)) {
            return true;
        }
    }
    return false;
}

Admission admit_request(const WebServer::Context& context, const Request& request) {
    const auto host = request.find(http::field::host);
    if (host == request.end() || !is_allowed_host(to_std(host->value()), context.port)) {
        return {http::status::misdirected_request, false};
    }
    const auto origin = request.find(http::field::origin);
    if (origin != request.end() && !is_allowed_origin(to_std(origin->value()), context.port)) {
        return {http::status::forbidden, false};
    }
    const auto query_token = query_value(split_target(to_std(request.target())).query, "token");
    if (query_token && tokens_equal(*query_token, context.token)) {
        return {http::status::ok, true};
    }
    if (has_token_cookie(request, context.token)) {
        return {http::status::ok, false};
    }
    return {http::status::forbidden, false};
}

Response make_response(const Request& request,
                       http::status status,
                       std::string body,
                       std::string_view content_type) {
    Response response{status, request.version()};
    response.set(http::field::server, "Velmora");
    response.set(http::field::content_type,
                 beast::string_view(content_type.data(), content_type.size()));
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Referrer-Policy", "no-referrer");
    response.keep_alive(request.keep_alive());
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

Response plain(const Request& request, http::status status) {
    return make_response(request, status, std::string(http::obsolete_reason(status)) + "\n",
                         "text/plain; charset=utf-8");
}

Response json(const Request& request, bool ok, std::string body) {
    return make_response(request, ok ? http::status::ok : http::status::bad_request,
                         std::move(body), "application/json");
}

Response serve_archive(const WebServer::Context& context,
                       const Request& request,
                       std::string_view encoded_path) {
    const auto path = archive_entry_path(encoded_path);
    if (!path) {
        return plain(request, http::status::bad_request);
    }
    auto entry = context.archive_lookup ? context.archive_lookup(*path) : std::nullopt;
    if (!entry) {
        return plain(request, http::status::not_found);
    }
    Response response =
        make_response(request, http::status::ok, std::move(*entry), content_type_for(*path));
    const std::string port = std::to_string(context.port);
    // pages load nothing from elsewhere and talk only to this server
    response.set("Content-Security-Policy",
                 "default-src 'self' data: blob:; style-src 'self' 'unsafe-inline'; "
                 "connect-src 'self' ws://127.0.0.1:" +
                     port + " ws://localhost:" + port + "; frame-ancestors 'none'");
    return response;
}

// POST /drop?name=<file name>: answers {"file": <the name to drop it by>}.
Response store_dropped_file(WebServer::Context& context,
                            const Request& request,
                            std::string_view query) {
    if (request.method() != http::verb::post) {
        return plain(request, http::status::method_not_allowed);
    }
    const auto name = query_value(query, "name");
    if (!name || !upload_base_name(*name) || !context.dropped_files) {
        return json(request, false, R"({"error":"not a file name"})");
    }
    std::string error;
    const auto stored = context.dropped_files->store(*name, request.body(), error);
    if (!stored) {
        std::cerr << "velmora: a dropped file was not kept: " << error << '\n';
        return make_response(request, http::status::internal_server_error,
                             R"({"error":"the file could not be stored"})", "application/json");
    }
    return json(request, true, nlohmann::json{{"file", *stored}}.dump());
}

Response route(WebServer::Context& context, const Request& request) {
    const Target target = split_target(to_std(request.target()));
    const bool is_get = request.method() == http::verb::get;
    if (target.path == "/") {
        Response response = plain(request, http::status::found);
        response.set(http::field::location, "/app/main.htm");
        return response;
    }
    if (target.path.starts_with("/app/")) {
        return is_get ? serve_archive(context, request, target.path.substr(5))
                      : plain(request, http::status::method_not_allowed);
    }
    if (target.path.starts_with("/api/store/")) {
        const std::string_view store = target.path.substr(11);
        if (!PageStores::is_store_name(store)) {
            return plain(request, http::status::not_found);
        }
        if (request.method() != http::verb::post) {
            return plain(request, http::status::method_not_allowed);
        }
        auto answer = context.stores.run(store, request.body());
        return json(request, answer.ok, std::move(answer.json));
    }
    if (target.path == "/api/fs/list") {
        const auto path = query_value(target.query, "path");
        if (!is_get || !path) {
            return plain(request,
                         is_get ? http::status::bad_request : http::status::method_not_allowed);
        }
        auto listing = list_folder(*path);
        return json(request, listing.ok, std::move(listing.json));
    }
    if (target.path == "/drop") {
        return store_dropped_file(context, request, target.query);
    }
    return plain(request, http::status::not_found);
}

// The largest body the request's route takes.
std::uint64_t body_limit_for(const Request& request) {
    if (request.method() != http::verb::post) {
        return kMaxOtherBodyBytes;
    }
    const std::string_view target = to_std(request.target());
    if (target.starts_with("/api/store/")) {
        return kMaxStoreBodyBytes;
    }
    if (target == "/drop" || target.starts_with("/drop?")) {
        return kMaxDroppedFileBytes;
    }
    return kMaxOtherBodyBytes;
}

class HttpSession final : public Connection, public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(WebServer::Context& context, tcp::socket socket)
        : context_(context), stream_(std::move(socket)) {}

    void read_next() {
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        // the route's limit is known only with the header: it is applied in on_header, so a
        // declared length above it still gets its 413 instead of a dropped connection
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        stream_.expires_after(kHttpTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    self->on_header(ec);
                                });
    }

    void shut() override {
        beast::error_code ignored;
        stream_.socket().close(ignored);
    }

private:
    void on_header(beast::error_code ec) {
        if (ec) {
            return shut();  // timed out, closed, or a header too large or malformed
        }
        const Request& request = parser_->get();
        admission_ = admit_request(context_, request);
        if (admission_.refusal != http::status::ok) {
            // refused before its body is read: nothing it sends costs more than its header
            return write(plain(request, admission_.refusal), /*close=*/true);
        }
        if (beast::websocket::is_upgrade(request)) {
            return upgrade();
        }
        const std::uint64_t limit = body_limit_for(request);
        const auto declared = parser_->content_length();
        if (declared && *declared > limit) {
            return write(plain(request, http::status::payload_too_large), /*close=*/true);
        }
        parser_->body_limit(limit);  // what a chunked body may add up to
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code read_ec, std::size_t) {
                             self->on_body(read_ec);
                         });
    }

    void on_body(beast::error_code ec) {
        if (ec == http::error::body_limit) {
            return write(plain(parser_->get(), http::status::payload_too_large), true);
        }
        if (ec) {
            return shut();
        }
        const Request& request = parser_->get();
        Response response = route(context_, request);
        if (admission_.token_in_query) {
            response.set(http::field::set_cookie, std::string(kTokenCookie) + "=" + context_.token +
                                                      "; HttpOnly; SameSite=Strict; Path=/");
        }
        const bool close = !response.keep_alive();
        write(std::move(response), close);
    }

    void upgrade() {
        const Target target = split_target(to_std(parser_->get().target()));
        const auto role = query_value(target.query, "role").value_or("other");
        if (target.path != "/ws" || !parser_->is_done() || (role != "main" && role != "other")) {
            return write(plain(parser_->get(), http::status::bad_request), true);
        }
        stream_.expires_never();
        const Framing framing =
            query_value(target.query, "batch") == "1" ? Framing::Batches : Framing::Single;
        serve_page_socket(context_, std::move(stream_), parser_->release(), role == "main",
                          framing);
    }

    void write(Response response, bool close) {
        response_ = std::move(response);
        if (close) {
            response_.keep_alive(false);
        }
        stream_.expires_after(kHttpTimeout);
        http::async_write(stream_, response_,
                          [self = shared_from_this(), close](beast::error_code ec, std::size_t) {
                              self->on_written(ec, close);
                          });
    }

    void on_written(beast::error_code ec, bool close) {
        if (ec || close) {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            return shut();
        }
        read_next();
    }

    WebServer::Context& context_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Admission admission_;
    Response response_;
};

}  // namespace

void serve_http(WebServer::Context& context, tcp::socket socket) {
    auto session = std::make_shared<HttpSession>(context, std::move(socket));
    if (!context.admit(session)) {
        session->shut();
        return;
    }
    session->read_next();
}

}  // namespace velmora::platform
