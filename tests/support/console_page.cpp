// Console page driver.
#include "support/console_page.h"

namespace velmora::test {

ConsolePage::ConsolePage(ChildProcess& client, Answer answer)
    : client_(client), answer_(std::move(answer)) {}

int ConsolePage::command(const std::string& name, const nlohmann::json& args) {
    const int id = next_id_++;
    client_.write_stdin(
        nlohmann::json{{"t", "cmd"}, {"id", id}, {"name", name}, {"args", args}}.dump() + "\n");
    return id;
}

void ConsolePage::take_lines() {
    const std::string out =
        client_.read_stdout_until("\x01never\x01", std::chrono::milliseconds(50));
    for (auto end = out.find('\n', offset_); end != std::string::npos;
         end = out.find('\n', offset_)) {
        const std::string line = out.substr(offset_, end - offset_);
        offset_ = end + 1;
        const auto message = nlohmann::json::parse(line, nullptr, false);
        if (!message.is_object()) {
            continue;
        }
        const std::string kind = message.value("t", "");
        if (kind == "call") {
            PageCall call{message.value("fn", ""), message.value("arg", nlohmann::json())};
            const nlohmann::json value = answer_ ? answer_(call) : nlohmann::json();
            client_.write_stdin(
                nlohmann::json{{"t", "reply"}, {"id", message["id"]}, {"value", value}}.dump() +
                "\n");
            calls_.push_back(std::move(call));
        } else if (kind == "ret") {
            results_[message.value("id", -1)] = message.value("value", nlohmann::json());
        }
    }
}

bool ConsolePage::serve_until(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        take_lines();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
}

std::optional<nlohmann::json> ConsolePage::result_of(int id, std::chrono::milliseconds timeout) {
    if (!serve_until([&] { return results_.count(id) > 0; }, timeout)) {
        return std::nullopt;
    }
    return results_[id];
}

std::vector<PageCall> ConsolePage::calls_of(const std::string& fn) const {
    std::vector<PageCall> out;
    for (const auto& call : calls_) {
        if (call.fn == fn) {
            out.push_back(call);
        }
    }
    return out;
}

}  // namespace velmora::test
