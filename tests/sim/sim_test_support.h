// What the simulator's TCP and pty tests share: their waits and the tfsim
// program started as a user would start it.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tfsim/Module.h"

extern char** environ;

namespace simtest {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using tfsim::Bytes;
using tfsim::Clock;
using tfsim::Packet;
namespace match = tfsim::match;

// Generous: the machines are shared. Only "nothing came" checks use short waits.
constexpr milliseconds kWait = 3000ms;
constexpr milliseconds kQuiet = 200ms;

struct SimProgram {
    pid_t pid = 0;
    FILE* out = nullptr; // its standard output; the test reads and closes it
};

// Call under ASSERT_NO_FATAL_FAILURE: a failure here leaves no program to talk to.
inline void startSimProgram(std::vector<std::string> args, SimProgram& program) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string path = TFSIM_PROGRAM;
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&program.pid, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    program.out = fdopen(out[0], "r");
}

// SIGTERM is how a user ends the program, so it must exit cleanly on it.
inline void stopSimProgram(const SimProgram& program) {
    ::kill(program.pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(program.pid, &status, 0), program.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace simtest
