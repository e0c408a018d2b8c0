// The OS layer's condition variable and once-only initialisation, with real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "aCondition.h"
#include "aMutex.h"

using namespace std::chrono_literals;

extern "C" int tf_once_race(int threads, int* initCalls, int* early);

namespace {

template <typename Pred> bool eventually(Pred pred) {
    for (int i = 0; i < 10000; i++) {
        if (pred()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return pred();
}

} // namespace

// Every waiter is inside its wait when the single broadcast comes: one that woke only a
// single waiter, or a wait that kept the mutex, would leave waiters behind. The counters
// are plain ints touched only under the mutex, so a wait that returned without it races.
TEST(Condition, OneBroadcastWakesEveryWaiterWithTheMutexHeld) {
    constexpr int kWaiters = 4;
    aMutex* mutex = aMutex_Create("condition");
    aCondition* condition = aCondition_Create();
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(condition, nullptr);
    int waiting = 0, woken = 0;
    bool go = false;
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; i++)
        waiters.emplace_back([&] {
            aMutex_Lock(mutex);
            waiting++;
            while (!go)
                EXPECT_EQ(aCondition_Wait(condition, mutex), aErrNone);
            woken++;
            aMutex_Unlock(mutex);
        });
    auto underLock = [&](auto read) {
        if (aMutex_TryLock(mutex) != aErrNone) return false;
        bool result = read();
        aMutex_Unlock(mutex);
        return result;
    };
    ASSERT_TRUE(eventually([&] { return underLock([&] { return waiting == kWaiters; }); }))
        << "waiting releases the mutex";

    aMutex_Lock(mutex);
    go = true;
    EXPECT_EQ(aCondition_Broadcast(condition), aErrNone);
    aMutex_Unlock(mutex);
    EXPECT_TRUE(eventually([&] { return underLock([&] { return woken == kWaiters; }); }));

    // Let any waiter left behind go, so the threads can be joined.
    while (!underLock([&] { return woken == kWaiters; })) {
        aMutex_Lock(mutex);
        aCondition_Broadcast(condition);
        aMutex_Unlock(mutex);
        std::this_thread::sleep_for(1ms);
    }
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(aCondition_Destroy(&condition), aErrNone);
    EXPECT_EQ(condition, nullptr);
    aMutex_Destroy(&mutex);
}

TEST(Condition, NullArgumentsAreRefused) {
    aMutex* mutex = aMutex_Create(nullptr);
    aCondition* condition = aCondition_Create();
    EXPECT_EQ(aCondition_Wait(nullptr, mutex), aErrParam);
    EXPECT_EQ(aCondition_Wait(condition, nullptr), aErrParam);
    EXPECT_EQ(aCondition_Broadcast(nullptr), aErrParam);
    aCondition* none = nullptr;
    EXPECT_EQ(aCondition_Destroy(&none), aErrParam);
    EXPECT_EQ(aCondition_Destroy(nullptr), aErrParam);
    aCondition_Destroy(&condition);
    aMutex_Destroy(&mutex);
}

// Callers that arrive while the slow init runs wait for it to end; the init never runs twice,
// not even for a call after all others.
TEST(Once, RacingCallersRunInitOnceAndReturnAfterIt) {
    int initCalls = 0, early = 0;
    ASSERT_EQ(tf_once_race(8, &initCalls, &early), 0);
    EXPECT_EQ(initCalls, 1);
    EXPECT_EQ(early, 0) << "callers returned before init had ended";
}
