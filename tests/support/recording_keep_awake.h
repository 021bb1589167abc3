// A sleep control that records the wishes instead of holding the machine awake.
#pragma once

#include <atomic>

#include "velmora/engine/status_reporter.h"

namespace velmora::test {

class RecordingKeepAwake final : public engine::KeepAwake {
public:
    void set_system_required(bool required) override {
        ++calls;
        last = required;
    }

    std::atomic<int> calls{0};
    std::atomic<bool> last{false};
};

}  // namespace velmora::test
