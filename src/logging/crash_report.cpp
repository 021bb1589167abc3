// Terminate handler and fatal-signal handlers that end the process at once.
#include "velmora/logging/crash_report.h"

#include <cstdlib>
#include <exception>
#include <iostream>

#include <signal.h>
#include <unistd.h>

namespace velmora::logging {
namespace {

void on_terminate() {
    const std::exception_ptr current = std::current_exception();
    try {
        if (current) {
            std::rethrow_exception(current);
        }
        std::cerr << "velmora: terminated\n";
    } catch (const std::exception& e) {
        std::cerr << "velmora: uncaught exception: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "velmora: uncaught exception of unknown type\n";
    }
    std::_Exit(EXIT_FAILURE);
}

void on_fatal_signal(int signal_number) {
    // only async-signal-safe calls here
    constexpr char kMessage[] = "velmora: fatal signal\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

}  // namespace

void install_crash_reporting() {
    std::set_terminate(on_terminate);
    for (const int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        struct sigaction action {};
        action.sa_handler = on_fatal_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace velmora::logging
