// SIGTERM, SIGINT and SIGHUP end the client in order instead of killing it.
#pragma once

#include <functional>

namespace velmora::platform {

// Thread: the first thread, before any other thread starts, so that every thread inherits
// the blocked mask. `on_signal` runs on a thread of its own, once, for the first signal.
void block_termination_signals();
void watch_termination_signals(std::function<void(int)> on_signal);

}  // namespace velmora::platform
