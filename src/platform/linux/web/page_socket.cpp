// One page over a WebSocket: frames in to its channel, queued frames out, one write at a time.
#include <deque>
#include <iostream>
#include <mutex>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "velmora/bridge/wire_protocol.h"
#include "velmora/platform/linux/web/page_registry.h"
#include "velmora/platform/linux/web/server_context.h"

namespace velmora::platform {
namespace {

namespace websocket = beast::websocket;

// A page that stops reading is dropped once this much waits for it.
constexpr std::size_t kMaxQueuedBytes = 64U * 1024U * 1024U;
// Silence this long, pings included, means the page is gone.
constexpr std::chrono::seconds kIdleTimeout{120};
// A batch frame stops growing past this; a page reads a few megabytes at once without trouble.
constexpr std::size_t kMaxBatchBytes = 4U * 1024U * 1024U;

class PageSocket final : public Connection, public std::enable_shared_from_this<PageSocket> {
public:
    PageSocket(WebServer::Context& context,
               beast::tcp_stream stream,
               Request upgrade,
               bool is_main,
               Framing framing)
        : pages_(context.pages),
          ws_(std::move(stream)),
          upgrade_(std::move(upgrade)),
          is_main_(is_main),
          framing_(framing) {}

    ~PageSocket() override {
        if (link_) {
            pages_->close_page(link_);  // the io context died with this page still open
        }
    }

    PageSocket(const PageSocket&) = delete;
    PageSocket& operator=(const PageSocket&) = delete;

    void start() {
        // The last short frame of a burst must not wait for the page to acknowledge the one
        // before it: a page with nothing to send acknowledges only after its delayed-ack timer,
        // some 40 ms at the end of every tick. Plain requests keep Nagle's rule: it is only
        // pages that the client writes bursts to.
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(net::ip::tcp::no_delay(true), ignored);
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = kIdleTimeout;
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.read_message_max(bridge::kMaxPageMessageBytes);
        // Left to fragment, Beast writes a batch frame in pieces of 4 KiB, one system call each:
        // thousands a tick. A frame is at most kMaxBatchBytes, so a ping waits little behind it.
        ws_.auto_fragment(false);
        ws_.async_accept(
            upgrade_, [self = shared_from_this()](beast::error_code ec) { self->on_accepted(ec); });
    }

    void shut() override {
        finish();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

private:
    void on_accepted(beast::error_code ec) {
        upgrade_ = {};
        if (ec || closed_) {
            return shut();
        }
        std::weak_ptr<PageSocket> weak = weak_from_this();
        link_ = pages_->open_page(
            is_main_,
            [weak](std::string text) {
                if (auto self = weak.lock()) {
                    self->send(std::move(text));
                }
            },
            [weak](bool held) {
                if (auto self = weak.lock()) {
                    self->hold(held);
                }
            });
        read_next();
    }

    // Thread: any. The io thread is woken once for all that is handed over before it runs, not
    // once per message: a tick hands over thousands.
    void send(std::string text) {
        {
            const std::lock_guard lock(handed_lock_);
            handed_.push_back(std::move(text));
            if (handed_.size() > 1 || holds_ > 0) {
                return;  // the io thread is already asked to take them, or will be
            }
        }
        ask_io_thread_to_take();
    }

    // Thread: any. While held, what is handed over waits: left to itself, the io thread would
    // take each message as soon as it is encoded, and a tick would cost thousands of frames.
    void hold(bool held) {
        {
            const std::lock_guard lock(handed_lock_);
            holds_ += held ? 1 : -1;
            if (holds_ > 0 || handed_.empty()) {
                return;
            }
        }
        // the io thread may have been asked already; a second take finds nothing
        ask_io_thread_to_take();
    }

    void ask_io_thread_to_take() {
        net::post(ws_.get_executor(), [self = shared_from_this()] { self->take_handed(); });
    }

    void take_handed() {
        std::vector<std::string> texts;
        {
            const std::lock_guard lock(handed_lock_);
            texts.swap(handed_);
        }
        if (closed_) {
            return;
        }
        for (std::string& text : texts) {
            queued_bytes_ += text.size();
            outbox_.push_back(std::move(text));
        }
        if (queued_bytes_ > kMaxQueuedBytes) {
            std::cerr << "velmora: a page stopped reading; closing its connection\n";
            return shut();
        }
        if (!is_writing_ && !outbox_.empty()) {
            write_next();
        }
    }

    // Whatever queued up while the last frame was on its way goes out as one batch frame, so
    // a tick's thousands of events cost the page a few frames, not one each. A lone message
    // goes out as it is, at once.
    void write_next() {
        is_writing_ = true;
        frame_messages_ = 1;
        std::size_t bytes = outbox_.front().size();
        while (framing_ == Framing::Batches && frame_messages_ < outbox_.size() &&
               bytes + outbox_[frame_messages_].size() < kMaxBatchBytes) {
            bytes += outbox_[frame_messages_].size() + 1;
            ++frame_messages_;
        }
        if (frame_messages_ > 1) {
            frame_.reserve(bytes + 32);
            frame_ = R"({"t":"batch","m":[)";
            for (std::size_t i = 0; i < frame_messages_; ++i) {
                if (i > 0) {
                    frame_ += ',';
                }
                frame_ += outbox_[i];
            }
            frame_ += "]}";
        }
        const std::string& text = frame_messages_ > 1 ? frame_ : outbox_.front();
        ws_.text(true);
        ws_.async_write(net::buffer(text),
                        [self = shared_from_this()](beast::error_code ec, std::size_t) {
                            self->on_written(ec);
                        });
    }

    void on_written(beast::error_code ec) {
        for (std::size_t i = 0; i < frame_messages_; ++i) {
            queued_bytes_ -= outbox_.front().size();
            outbox_.pop_front();
        }
        frame_.clear();
        is_writing_ = false;
        if (ec) {
            return shut();
        }
        if (!outbox_.empty() && !closed_) {
            write_next();
        }
    }

    void read_next() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->on_read(ec);
        });
    }

    void on_read(beast::error_code ec) {
        if (ec || closed_) {
            // closed by the page, timed out, or a frame over the limit (Beast closes with 1009)
            return shut();
        }
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        link_->channel().on_message(text);
        read_next();
    }

    void finish() {
        if (closed_) {
            return;
        }
        closed_ = true;
        if (link_) {
            pages_->close_page(link_);
            link_.reset();  // the registry frees it on the gui thread
        }
    }

    std::shared_ptr<PageRegistry> pages_;
    websocket::stream<beast::tcp_stream> ws_;
    Request upgrade_;
    bool is_main_ = false;
    Framing framing_ = Framing::Single;
    std::shared_ptr<PageLink> link_;
    beast::flat_buffer buffer_;
    std::mutex handed_lock_;
    std::vector<std::string> handed_;  // guarded by handed_lock_; not yet taken by the io thread
    int holds_ = 0;                    // guarded by handed_lock_
    std::deque<std::string> outbox_;
    std::string frame_;               // the batch on its way, when it holds more than one
    std::size_t frame_messages_ = 0;  // messages of the outbox's front on their way
    std::size_t queued_bytes_ = 0;
    bool is_writing_ = false;
    bool closed_ = false;
};

}  // namespace

void serve_page_socket(WebServer::Context& context,
                       beast::tcp_stream stream,
                       Request upgrade,
                       bool is_main,
                       Framing framing) {
    auto socket = std::make_shared<PageSocket>(context, std::move(stream), std::move(upgrade),
                                               is_main, framing);
    if (!context.admit(socket)) {
        socket->shut();
        return;
    }
    socket->start();
}

}  // namespace velmora::platform
