// A desktop session and power control that record the requests instead of changing anything.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "velmora/host/shell.h"

namespace velmora::test {

// Behaves like a session whose files always write: registering makes the client the default and
// the log-on entry follows the last wish. Every call first reports `errors`.
class RecordingShell final : public host::Shell {
public:
    void register_associations(const ErrorReport& report) override {
        record("register_associations", report);
        default_client = true;
    }
    bool is_default_client(const ErrorReport& report) override {
        record("is_default_client", report);
        return default_client;
    }
    bool set_run_at_log_on(bool on, const ErrorReport& report) override {
        record(on ? "set_run_at_log_on true" : "set_run_at_log_on false", report);
        run_at_log_on = on;
        return run_at_log_on;
    }
    bool runs_at_log_on(const ErrorReport& report) override {
        record("runs_at_log_on", report);
        return run_at_log_on;
    }

    bool default_client = false;                              // what is_default_client answers
    bool run_at_log_on = false;                               // what runs_at_log_on answers
    std::vector<std::pair<std::string, std::string>> errors;  // (error text, path) per call

    std::vector<std::string> calls;

private:
    void record(const char* call, const ErrorReport& report) {
        calls.emplace_back(call);
        for (const auto& [text, path] : errors) {
            if (report) {
                report(text, path);
            }
        }
    }
};

// Safe to call from any thread, as the real one is.
class RecordingPowerActions final : public host::PowerActions {
public:
    void request(host::PowerAction action) override {
        const std::lock_guard hold(lock_);
        requests_.push_back(action);
    }

    std::vector<host::PowerAction> requests() const {
        const std::lock_guard hold(lock_);
        return requests_;
    }

private:
    mutable std::mutex lock_;
    std::vector<host::PowerAction> requests_;
};

}  // namespace velmora::test
