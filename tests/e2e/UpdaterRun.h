// Runs the real updater program as a user would: its own process, standard output and error
// captured apart, the exit status, and a kill when it outlives its time.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace tftest {

struct UpdaterResult {
    int status = -1;       // the exit status; -1 when it died by a signal or was killed
    bool timedOut = false; // killed after its time
    std::string out;
    std::string err;

    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> result;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }
    std::vector<std::string> outLines() const { return lines(out); }
    std::vector<std::string> errLines() const { return lines(err); }
};

struct UpdaterRunOptions {
    std::vector<std::string> environment; // "NAME=value" added to (or replacing) the test's own
    std::vector<std::string> unset;       // names removed from the child's environment
    std::chrono::milliseconds timeout = std::chrono::seconds(120);
    bool nullArgv0 = false; // start it with an empty argument array (no program word)
    // Runs in the child between fork and exec (dropping privileges, say); false makes it exit
    // with status 127.
    bool (*beforeExec)() = nullptr;
};

namespace detail {

inline bool named(const std::string& entry, const std::string& name) {
    return entry.compare(0, name.size(), name) == 0 && entry.size() > name.size() &&
           entry[name.size()] == '=';
}

// The test's environment, less the preload the test itself may run under (the updater gets its
// own) and the names asked, plus the additions.
inline std::vector<std::string> childEnvironment(const UpdaterRunOptions& options) {
    std::vector<std::string> removed = options.unset;
    removed.push_back("LD_PRELOAD");
    for (const std::string& entry : options.environment)
        removed.push_back(entry.substr(0, entry.find('=')));
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        bool drop = false;
        for (const std::string& name : removed)
            drop = drop || named(*e, name);
        if (!drop) env.emplace_back(*e);
    }
    env.insert(env.end(), options.environment.begin(), options.environment.end());
    return env;
}

} // namespace detail

// The program's run to its end (or its kill). Throws std::runtime_error when it cannot start.
inline UpdaterResult runProgram(const std::string& program, const std::vector<std::string>& args,
                                const UpdaterRunOptions& options = {}) {
    std::vector<std::string> words;
    if (!options.nullArgv0) words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<std::string> env = detail::childEnvironment(options);
    std::vector<char*> argv, envp;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("pipe");
    }
    // fork rather than posix_spawn: a hook may run between the two, and an empty argument
    // array must reach execve as it is.
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull < 0 || ::dup2(devnull, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0)
            ::_exit(127);
        if (options.beforeExec != nullptr && !options.beforeExec()) ::_exit(127);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + program);
    }

    UpdaterResult result;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
                continue;
            }
            ::close(fds[i].fd);
            fds[i].fd = -1; // poll skips negative descriptors
            --open;
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0) ::close(p.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.timedOut && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

} // namespace tftest
