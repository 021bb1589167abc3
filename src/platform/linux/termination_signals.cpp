// A dedicated thread waits for the termination signals with sigwait.
#include "velmora/platform/linux/termination_signals.h"

#include <thread>

#include <pthread.h>
#include <signal.h>

namespace velmora::platform {
namespace {

sigset_t termination_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void block_termination_signals() {
    const sigset_t set = termination_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void watch_termination_signals(std::function<void(int)> on_signal) {
    std::thread([on_signal = std::move(on_signal)] {
        const sigset_t set = termination_set();
        int signal_number = 0;
        while (sigwait(&set, &signal_number) != 0) {
        }
        on_signal(signal_number);
        // later signals stay blocked: the orderly end is already under way
    }).detach();
}

}  // namespace velmora::platform
