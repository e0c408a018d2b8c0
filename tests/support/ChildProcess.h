// A test's child program with a pipe to its standard input and one from its standard output.
// The holder ends the child on every path: closing its input first (the programs run until
// their input closes), then SIGKILL if it has not left within a few seconds.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tftest {

class ChildProcess {
  public:
    // Throws std::runtime_error when the program cannot be started. The pipes' own ends are
    // close-on-exec, so a later child never holds this one's input open.
    ChildProcess(const std::string& program, std::vector<std::string> args) {
        ::signal(SIGPIPE, SIG_IGN); // a child that died must fail a write, not the test
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        if (::pipe2(out, O_CLOEXEC) != 0) {
            closeBoth(in);
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (error != 0) {
            pid_ = 0;
            closeInput();
            ::close(output_);
            throw std::runtime_error("cannot start " + program);
        }
    }
    ~ChildProcess() {
        if (pid_) finish(std::chrono::seconds(10));
        ::close(output_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const {
        if (pid_) ::kill(pid_, sig);
    }

    bool writeLine(const std::string& line) {
        std::string text = line + "\n";
        size_t done = 0;
        while (input_ >= 0 && done < text.size()) {
            ssize_t n = ::write(input_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return input_ >= 0;
    }

    // The next line of its output without the newline; nothing when none came in time or
    // the output ended.
    std::optional<std::string> readLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd wait{output_, POLLIN, 0};
            int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return std::nullopt;
            char chunk[512];
            ssize_t n = ::read(output_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            buffered_.append(chunk, static_cast<size_t>(n));
        }
    }

    void closeInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }

    // Closes its input and waits up to `limit` for it to leave; then kills it. Its wait
    // status, or nothing when it had to be killed.
    std::optional<int> finish(std::chrono::milliseconds limit) {
        closeInput();
        if (!pid_) return std::nullopt;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        for (;;) {
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) break;
            if (done < 0 && errno != EINTR) {
                pid_ = 0;
                return std::nullopt;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = 0;
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = 0;
        return status;
    }

  private:
    static void closeBoth(int fds[2]) {
        ::close(fds[0]);
        ::close(fds[1]);
    }

    pid_t pid_ = 0;
    int input_ = -1;
    int output_ = -1;
    std::string buffered_;
};

} // namespace tftest
