// A program started by a test, with pipes to its standard streams.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace velmora::test {

class ChildProcess {
public:
    // Starts `argv[0]` with the test's environment plus `extra_env` ("NAME=value").
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write_stdin(const std::string& text);
    void close_stdin();
    // Reads standard output until `needle` appeared or the time is up; everything read so far.
    std::string read_stdout_until(const std::string& needle, std::chrono::milliseconds timeout);
    // The exit code once the program ended, nullopt on timeout (it is then killed).
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void signal(int signal_number);
    std::string stdout_text();  // all output, after wait()
    std::string stderr_text();  // all output, after wait()
    pid_t pid() const { return pid_; }

private:
    void drain(int fd, std::string& into, int timeout_ms);

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    int stderr_fd_ = -1;
    std::string out_;
    std::string err_;
    bool reaped_ = false;
};

// The velmora executable under test.
std::string velmora_binary();

}  // namespace velmora::test
