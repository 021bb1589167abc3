// Console engine: a reader thread feeds stdin lines to the page channel.
#include "velmora/platform/linux/console_ui_engine.h"

#include <array>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "velmora/bridge/gui_marshal.h"
#include "velmora/bridge/wire_protocol.h"

namespace velmora::platform {

ConsoleUiEngine::ConsoleUiEngine(std::FILE* in, std::FILE* out) : in_(in), out_(out) {}

ConsoleUiEngine::~ConsoleUiEngine() {
    stop();
}

bool ConsoleUiEngine::start(bridge::UiEngineHost& host, bridge::GuiLoop& loop) {
    host_ = &host;
    loop_ = &loop;
    channel_ = std::make_unique<bridge::PageChannel>(
        loop, host, [this](std::string line) { write_line(line); }, &bridge::local_paths_of);
    if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) {
        return false;
    }
    {
        const std::lock_guard lock(out_mutex_);
        writing_ = true;
    }
    writer_ = std::thread([this] { write_queued(); });
    reader_ = std::thread([this] { read_lines(); });
    return true;
}

void ConsoleUiEngine::read_lines() {
    const int fd = ::fileno(in_);
    std::string line;
    bool too_long = false;
    auto finish_line = [&] {
        if (too_long) {
            write_line(bridge::encode_error({"message too large", std::nullopt}));
        } else if (!line.empty()) {
            channel_->on_message(line);
        }
        line.clear();
        too_long = false;
    };
    std::array<char, 65536> buffer{};
    for (;;) {
        std::array<pollfd, 2> fds{pollfd{fd, POLLIN, 0}, pollfd{wake_pipe_[0], POLLIN, 0}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;  // stopped: the client is going down on its own
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (const char c : std::string_view(buffer.data(), static_cast<std::size_t>(n))) {
            if (c == '\n') {
                finish_line();
            } else if (line.size() < bridge::kMaxPageMessageBytes) {
                line.push_back(c);
            } else {
                // an endless line must not exhaust memory: keep reading, then refuse it whole
                too_long = true;
            }
        }
    }
    finish_line();
    channel_->on_closed();
    loop_->post([host = host_] { host->on_main_window_closed(); });
}

void ConsoleUiEngine::write_line(const std::string& line) {
    std::unique_lock lock(out_mutex_);
    const auto has_room = [this] { return queued_out_.size() < kMaxQueuedBytes || !writing_; };
    if (!has_room()) {
        out_changed_.notify_all();  // a burst holds the writer back only while there is room
        out_changed_.wait(lock, has_room);
    }
    if (!writing_) {
        std::fwrite(line.data(), 1, line.size(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
        return;
    }
    const bool was_empty = queued_out_.empty();
    queued_out_.append(line);
    queued_out_.push_back('\n');
    if (was_empty && bursts_ == 0) {
        out_changed_.notify_all();
    }
}

void ConsoleUiEngine::begin_page_burst() {
    const std::lock_guard lock(out_mutex_);
    ++bursts_;
}

void ConsoleUiEngine::end_page_burst() {
    {
        const std::lock_guard lock(out_mutex_);
        if (--bursts_ > 0 || queued_out_.empty()) {
            return;
        }
    }
    out_changed_.notify_all();
}

void ConsoleUiEngine::write_queued() {
    std::string taken;
    for (;;) {
        {
            std::unique_lock lock(out_mutex_);
            out_changed_.wait(lock, [this] { return !queued_out_.empty() || writer_stopping_; });
            if (queued_out_.empty()) {
                writing_ = false;  // the lines from now on are written at once
                out_changed_.notify_all();
                return;
            }
            taken.swap(queued_out_);
            out_changed_.notify_all();  // room again for a writer that waits
        }
        std::fwrite(taken.data(), 1, taken.size(), out_);
        std::fflush(out_);
        taken.clear();
    }
}

void ConsoleUiEngine::stop_writer() {
    {
        const std::lock_guard lock(out_mutex_);
        writer_stopping_ = true;
    }
    out_changed_.notify_all();
    if (writer_.joinable()) {
        writer_.join();  // after it wrote whatever was queued
    }
}

bool ConsoleUiEngine::wait_for_main_page(std::chrono::milliseconds /*timeout*/) {
    return true;
}

bridge::UiValue ConsoleUiEngine::call_page(std::string_view fn, const bridge::UiValue& arg) {
    return channel_ ? channel_->call(fn, arg) : bridge::UiValue();
}

void ConsoleUiEngine::post_page(std::string_view fn, const bridge::UiValue& arg) {
    if (channel_) {
        channel_->post(fn, arg);
    }
}

void ConsoleUiEngine::call_page_then(std::string_view fn,
                                     const bridge::UiValue& arg,
                                     std::function<void(bridge::UiValue)> answered) {
    if (!channel_) {
        answered(bridge::UiValue());
        return;
    }
    channel_->call_then(fn, arg, std::move(answered));
}

void ConsoleUiEngine::show_main_window() {}

void ConsoleUiEngine::toggle_maximized() {
    if (channel_) {
        channel_->send_window("toggle_maximized");
    }
}

void ConsoleUiEngine::stop() {
    if (channel_) {
        channel_->on_closed();
    }
    if (reader_.joinable()) {
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(wake_pipe_[1], &byte, 1);
        reader_.join();
        ::close(wake_pipe_[0]);
        ::close(wake_pipe_[1]);
    }
    stop_writer();
}

}  // namespace velmora::platform
