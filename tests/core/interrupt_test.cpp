// The interrupt latch in forked children: a signal that czmq caught ends the process by
// SIGINT once the latch runs, the latch re-sends only once however many threads call it, and
// it does nothing while czmq has not been interrupted.
#include <gtest/gtest.h>

#include <czmq.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "zSysInterruptHandler.h"

namespace {

using namespace std::chrono_literals;

// Runs body in a forked child that exits with body's result; returns the wait status.
int runChild(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return status;
}

std::atomic<int> gSigints{0};
void countSigint(int) {
    gSigints++;
}

// Stands in for czmq's own handler on a second signal.
void markInterrupted(int) {
    zsys_interrupted = 1;
}

sighandler_t currentSigintHandler() {
    struct sigaction action;
    sigaction(SIGINT, nullptr, &action);
    return action.sa_handler;
}

void callLatchFrom(int threads, int calls) {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([calls] {
            for (int i = 0; i < calls; i++)
                zSysInterruptHandler_process();
        });
    for (std::thread& thread : pool)
        thread.join();
}

// Signals sent to the own process may land on any thread a moment later.
bool awaitSigints(int count) {
    tftest::eventually([count] { return gSigints >= count; }, std::chrono::seconds(1));
    return gSigints == count;
}

enum ChildFailure { kSurvived = 3, kNotCaught = 4, kWrongCount = 5, kHandlerChanged = 6 };

TEST(InterruptLatch, CaughtSignalEndsTheProcessBySigint) {
    struct Case {
        const char* name;
        int signal;
        int threads;
    };
    for (const Case& c :
         {Case{"SIGINT, one poller", SIGINT, 1}, Case{"SIGINT, many pollers", SIGINT, 8},
          Case{"SIGTERM, many pollers", SIGTERM, 8}}) {
        SCOPED_TRACE(c.name);
        int status = runChild([&c]() -> int {
            zsys_init();
            raise(c.signal);
            if (!zsys_interrupted) return kNotCaught;
            callLatchFrom(c.threads, 100);
            std::this_thread::sleep_for(1s);
            return kSurvived;
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), SIGINT);
    }
}

TEST(InterruptLatch, ResendsSigintExactlyOncePerProcess) {
    int status = runChild([]() -> int {
        // The handler in place before czmq's is what the latch puts back, so it sees the
        // re-sent signals instead of the process ending.
        signal(SIGINT, countSigint);
        zsys_init();
        raise(SIGINT);
        if (!zsys_interrupted || gSigints != 0) return kNotCaught;
        callLatchFrom(8, 200);
        if (!awaitSigints(1)) return kWrongCount;
        if (currentSigintHandler() != countSigint) return kHandlerChanged;

        // A second signal caught on czmq's behalf: the latch stays spent.
        zsys_handler_set(markInterrupted);
        raise(SIGINT);
        callLatchFrom(4, 50);
        if (!awaitSigints(1)) return kWrongCount;
        if (currentSigintHandler() != countSigint) return kHandlerChanged;
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(InterruptLatch, DoesNothingUntilCzmqIsInterrupted) {
    struct Case {
        const char* name;
        bool czmq;
    };
    for (const Case& c : {Case{"czmq initialised", true}, Case{"czmq never started", false}}) {
        SCOPED_TRACE(c.name);
        int status = runChild([&c]() -> int {
            signal(SIGINT, countSigint);
            if (c.czmq) zsys_init();
            sighandler_t before = currentSigintHandler();
            callLatchFrom(4, 100);
            std::this_thread::sleep_for(50ms);
            if (gSigints != 0) return kWrongCount;
            if (currentSigintHandler() != before) return kHandlerChanged;
            if (!c.czmq) return 0;

            // Still armed: the first real interruption is passed on.
            raise(SIGINT);
            if (gSigints != 0) return kNotCaught;
            zSysInterruptHandler_process();
            return awaitSigints(1) ? 0 : kWrongCount;
        });
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

} // namespace
