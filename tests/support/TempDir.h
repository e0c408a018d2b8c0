// Test helpers shared by the suites: a temporary directory that removes itself,
// and running a check in a child process that has dropped root.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace tftest {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tftest.XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

    // Writes a file below the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::string full = *this / name;
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }

  private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs check in a forked child that has become the unprivileged user id
// (uid and gid); returns the check's result, or -1 when the child died.
// Root ignores file permissions, so permission failures need such a child.
inline int runUnprivilegedAs(unsigned id, const std::function<int()>& check) {
    pid_t child = fork();
    if (child == 0) {
        if (setgid(static_cast<gid_t>(id)) != 0 || setuid(static_cast<uid_t>(id)) != 0) _exit(100);
        _exit(check());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int runUnprivileged(const std::function<int()>& check) {
    return runUnprivilegedAs(65534, check);
}

// For test bodies (gtest); the rest of this header stands without it, for the benchmarks too.
#define TF_REQUIRE_ROOT()                                                                          \
    do {                                                                                           \
        if (geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";                       \
    } while (0)

} // namespace tftest
