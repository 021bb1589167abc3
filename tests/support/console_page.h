// The page side of a console client: answers its calls and sends commands, line by line.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child_process.h"

namespace velmora::test {

struct PageCall {
    std::string fn;
    nlohmann::json arg;
};

class ConsolePage {
public:
    using Answer = std::function<nlohmann::json(const PageCall& call)>;

    // Every call is answered with null unless `answer` says otherwise.
    ConsolePage(ChildProcess& client, Answer answer = {});

    // Sends a command; its id.
    int command(const std::string& name, const nlohmann::json& args = nlohmann::json::array());
    // Serves the page until the condition holds on what was seen; false on timeout.
    bool serve_until(const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Serves until the command's answer arrived; its value.
    std::optional<nlohmann::json> result_of(
        int id, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    const std::vector<PageCall>& calls() const { return calls_; }
    std::vector<PageCall> calls_of(const std::string& fn) const;

private:
    void take_lines();

    ChildProcess& client_;
    Answer answer_;
    std::size_t offset_ = 0;
    int next_id_ = 1000;
    std::vector<PageCall> calls_;
    std::map<int, nlohmann::json> results_;
};

}  // namespace velmora::test
