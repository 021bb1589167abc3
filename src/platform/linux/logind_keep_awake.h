// Keeping the machine awake through a logind sleep inhibitor.
#pragma once

#include <sys/types.h>

#include "velmora/engine/status_reporter.h"

namespace velmora::platform {

// Holds the inhibitor as a child `systemd-inhibit` process for as long as it is wanted. Where
// logind is missing the child ends at once and the machine sleeps as it would anyway.
// Thread: the tick.
class LogindKeepAwake final : public engine::KeepAwake {
public:
    LogindKeepAwake() = default;
    ~LogindKeepAwake() override;
    LogindKeepAwake(const LogindKeepAwake&) = delete;
    LogindKeepAwake& operator=(const LogindKeepAwake&) = delete;

    void set_system_required(bool required) override;

private:
    void release();

    pid_t inhibitor_ = 0;
    int lifeline_ = -1;  // the write end of the pipe the inhibitor's command reads
};

}  // namespace velmora::platform
