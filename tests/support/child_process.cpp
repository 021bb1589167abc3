// Spawning the client under test and talking to it through pipes.
#include "support/child_process.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace velmora::test {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string velmora_binary() {
    const char* path = std::getenv("VELMORA_BIN");
    return path != nullptr ? path : VELMORA_BIN_DEFAULT;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env) {
    int in[2];
    int out[2];
    int err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> env_storage(extra_env);
    for (char** e = environ; *e != nullptr; ++e) {
        env_storage.emplace_back(*e);
    }
    std::vector<char*> env;
    for (auto& e : env_storage) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);
    std::vector<std::string> args_storage(argv);
    std::vector<char*> args;
    for (auto& a : args_storage) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_fd_ = in[1];
    stdout_fd_ = out[0];
    stderr_fd_ = err[0];
    if (rc != 0) {
        throw std::runtime_error("spawn failed: " + argv[0]);
    }
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    for (const int fd : {stdin_fd_, stdout_fd_, stderr_fd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void ChildProcess::write_stdin(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(stdin_fd_, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::close_stdin() {
    if (stdin_fd_ >= 0) {
        ::close(stdin_fd_);
        stdin_fd_ = -1;
    }
}

void ChildProcess::drain(int fd, std::string& into, int timeout_ms) {
    std::array<char, 4096> buffer{};
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) {
        return;
    }
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0) {
        into.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

std::string ChildProcess::read_stdout_until(const std::string& needle,
                                            std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (out_.find(needle) == std::string::npos && remaining_ms(deadline) > 0) {
        drain(stdout_fd_, out_, std::min(remaining_ms(deadline), 100));
        drain(stderr_fd_, err_, 0);
    }
    return out_;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        drain(stdout_fd_, out_, 20);
        drain(stderr_fd_, err_, 0);
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            // collect what is still in the pipes
            for (int i = 0; i < 50; ++i) {
                const auto before = out_.size() + err_.size();
                drain(stdout_fd_, out_, 0);
                drain(stderr_fd_, err_, 0);
                if (out_.size() + err_.size() == before) {
                    break;
                }
            }
            if (WIFEXITED(status)) {
                return WEXITSTATUS(status);
            }
            return 128 + WTERMSIG(status);
        }
        if (remaining_ms(deadline) == 0) {
            return std::nullopt;
        }
    }
}

void ChildProcess::signal(int signal_number) {
    ::kill(pid_, signal_number);
}

std::string ChildProcess::stdout_text() {
    return out_;
}

std::string ChildProcess::stderr_text() {
    return err_;
}

}  // namespace velmora::test
