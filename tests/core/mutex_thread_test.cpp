// Mutexes, threads and sleeps, with real threads.
#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "Eventually.h"
#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

using namespace std::chrono_literals;

TEST(Mutex, NamesUpTo255Characters) {
    std::string longest(255, 'm');
    aMutex* named = aMutex_Create(longest.c_str());
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(aMutex_Identifier(named), longest);
    EXPECT_EQ(aMutex_Destroy(&named), aErrNone);
    EXPECT_EQ(named, nullptr);

    std::string tooLong(256, 'm');
    EXPECT_EQ(aMutex_Create(tooLong.c_str()), nullptr);

    aMutex* unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    aMutex_Destroy(&unnamed);
}

TEST(Mutex, NullArgumentsAreRefused) {
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    aMutex* none = nullptr;
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

namespace {
// Another thread that holds a mutex from construction until release().
class Holder {
  public:
    explicit Holder(aMutex* mutex)
        : thread_([this, mutex] {
              aMutex_Lock(mutex);
              locked_ = true;
              while (!release_)
                  std::this_thread::sleep_for(1ms);
              aMutex_Unlock(mutex);
          }) {
        while (!locked_)
            std::this_thread::sleep_for(1ms);
    }
    ~Holder() { release(); }
    void release() {
        release_ = true;
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::atomic<bool> locked_{false}, release_{false};
    std::thread thread_;
};
} // namespace

TEST(Mutex, TryLockSeesAnotherThreadsHold) {
    aMutex* mutex = aMutex_Create("held");
    Holder holder(mutex);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    holder.release();
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    aMutex_Destroy(&mutex);
}

// A held mutex is refused, whoever holds it: freeing it would leave the holder unlocking freed
// memory. Once released, the same handle destroys normally.
TEST(Mutex, DestroyRefusesAHeldMutexAndKeepsTheHandle) {
    for (bool heldByCaller : {true, false}) {
        SCOPED_TRACE(heldByCaller ? "held by the caller" : "held by another thread");
        aMutex* mutex = aMutex_Create("held");
        ASSERT_NE(mutex, nullptr);
        std::optional<Holder> holder;
        if (heldByCaller) {
            ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
        } else {
            holder.emplace(mutex);
        }
        aMutex* handle = mutex;
        aErr refused = aMutex_Destroy(&handle);
        bool kept = handle == mutex;
        if (kept) {
            EXPECT_STREQ(aMutex_Identifier(handle), "held") << "the record is alive";
        }
        if (holder) {
            holder->release();
        } else if (kept) {
            EXPECT_EQ(aMutex_Unlock(handle), aErrNone);
        }
        EXPECT_EQ(refused, aErrBusy);
        ASSERT_TRUE(kept) << "the handle stays as it was";
        EXPECT_EQ(aMutex_TryLock(handle), aErrNone) << "still a working mutex";
        EXPECT_EQ(aMutex_Unlock(handle), aErrNone);
        EXPECT_EQ(aMutex_Destroy(&handle), aErrNone);
        EXPECT_EQ(handle, nullptr);
    }
}

TEST(Mutex, SerialisesIncrementsAcrossThreads) {
    aMutex* mutex = aMutex_Create("counter");
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            aMutex_Lock(mutex);
            counter++;
            aMutex_Unlock(mutex);
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 60000);
    aMutex_Destroy(&mutex);
}

namespace {
std::atomic<bool> gProcDone{false};
void* slowProc(void* arg) {
    std::this_thread::sleep_for(50ms);
    static_cast<std::atomic<int>*>(arg)->store(42);
    gProcDone = true;
    return nullptr;
}
} // namespace

TEST(Thread, DestroyJoinsAndClearsTheHandle) {
    std::atomic<int> result{0};
    aThread* thread = aThread_Create(slowProc, &result);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_TRUE(gProcDone) << "returns only after the procedure has returned";
    EXPECT_EQ(result, 42);
    EXPECT_EQ(thread, nullptr);
}

TEST(Thread, DestroyOfNothingIsHarmless) {
    aThread* cleared = nullptr;
    EXPECT_NE(aThread_Destroy(&cleared), 0);
    EXPECT_NE(aThread_Destroy(nullptr), 0);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aThread_Yield();
}

TEST(Time, TicksFollowTheWallClock) {
    uint64_t ticks = aTime_GetMSTicks();
    auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
    EXPECT_NEAR(static_cast<double>(ticks), static_cast<double>(wall), 1000.0);
}

TEST(Time, SleepsAtLeastTheTimeAsked) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
    EXPECT_EQ(aTime_MSSleep(30), aErrNone);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(Time, LongSleepsAreSlicedBelowASecondAndNotCutShortBySignals) {
    // A signal every 100 ms must not shorten the 1.2 s sleep.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);
    pthread_t sleeper = pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done) {
            std::this_thread::sleep_for(100ms);
            if (!done) pthread_kill(sleeper, SIGUSR1);
        }
    });
    auto start = std::chrono::steady_clock::now();
    osMSSleep(1200);
    auto elapsed = std::chrono::steady_clock::now() - start;
    done = true;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(elapsed, 1200ms);
}
