// The single-producer single-consumer ring: its bound, its order, and one producer and one
// consumer thread at full speed (ThreadSanitizer sees an unpublished slot as a race).
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "LocklessQueue_SPSC.h"

using Keldoran::LocklessQueue_SPSC;

TEST(LocklessQueue, HoldsOneLessThanItsCapacityInOrder) {
    LocklessQueue_SPSC<int> queue(500);
    for (int i = 0; i < 499; i++)
        ASSERT_TRUE(queue.push(i)) << i;
    EXPECT_FALSE(queue.push(499)) << "the 500th push of a ring of 500";
    int out = -1;
    for (int i = 0; i < 499; i++) {
        ASSERT_TRUE(queue.pop(&out));
        EXPECT_EQ(out, i);
    }
    EXPECT_FALSE(queue.pop(&out));
    EXPECT_TRUE(queue.push(7)) << "room again once drained, across the wrap";
}

TEST(LocklessQueue, MovesElementsOutSoSlotsKeepNoOwnership) {
    LocklessQueue_SPSC<std::shared_ptr<int>> queue(4);
    auto value = std::make_shared<int>(3);
    ASSERT_TRUE(queue.push(value));
    std::shared_ptr<int> out;
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(value.use_count(), 2) << "the caller's and the popped copy, none left in a slot";
}

TEST(LocklessQueue, OneProducerOneConsumerKeepOrder) {
    constexpr int kCount = 200000;
    LocklessQueue_SPSC<int> queue(16);
    std::thread producer([&] {
        for (int i = 0; i < kCount;)
            if (queue.push(i))
                i++;
            else
                std::this_thread::yield();
    });
    int expected = 0;
    while (expected < kCount) {
        int out = -1;
        if (!queue.pop(&out)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(out, expected);
        expected++;
    }
    producer.join();
}
