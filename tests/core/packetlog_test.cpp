// The packet log ring: record framing, dropping of the oldest records, refusals and wrapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "aPacketDebug.h"

namespace {

struct LogDeleter {
    void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<aPacketLog, LogDeleter>;

struct Record {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    bool operator==(const Record&) const = default;
};

Record record(uint32_t type, size_t length, uint8_t first = 0) {
    Record r{type, std::vector<uint8_t>(length)};
    for (size_t i = 0; i < length; i++)
        r.data[i] = static_cast<uint8_t>(first + i);
    return r;
}

aErr put(aPacketLog* log, const Record& r) {
    return aPacketLog_Put(log, static_cast<uint8_t>(r.type), static_cast<uint32_t>(r.data.size()),
                          r.data.data());
}

struct Taken {
    aErr result;
    Record record;
    uint32_t length; // as reported, also on aErrOverrun
};

Taken take(aPacketLog* log, uint32_t capacity = 255) {
    Taken t{aErrNone, {}, capacity};
    std::vector<uint8_t> buffer(capacity + 1u, 0xAA);
    t.result = aPacketLog_Get(log, &t.record.type, &t.length, buffer.data());
    if (t.result == aErrNone) t.record.data.assign(buffer.begin(), buffer.begin() + t.length);
    return t;
}

std::vector<Record> takeAll(aPacketLog* log) {
    std::vector<Record> records;
    for (Taken t = take(log); t.result == aErrNone; t = take(log))
        records.push_back(t.record);
    return records;
}

} // namespace

TEST(PacketLogLife, RefusesSizeZeroAndStartsEmptyAndDisabled) {
    EXPECT_EQ(aPacketLog_Create(0), nullptr);
    LogPtr log{aPacketLog_Create(16)};
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->enabled, 0);
    EXPECT_NE(log->ring, nullptr);
    EXPECT_EQ(log->size, 16u);
    EXPECT_EQ(log->readIndex, 0u);
    EXPECT_EQ(log->writeIndex, 0u);
    EXPECT_EQ(take(log.get()).result, aErrNotFound);

    aPacketLog* raw = log.release();
    raw->enabled = 1;
    EXPECT_EQ(aPacketLog_Destroy(&raw), aErrNone);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(aPacketLog_Destroy(&raw), aErrNone);
    EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrNone);
}

TEST(PacketLogLife, RefusesNullArguments) {
    LogPtr log{aPacketLog_Create(16)};
    uint8_t byte = 0;
    uint32_t type = 0, length = 1;
    EXPECT_EQ(aPacketLog_Put(nullptr, 1, 1, &byte), aErrParam);
    EXPECT_EQ(aPacketLog_Put(log.get(), 1, 1, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Get(nullptr, &type, &length, &byte), aErrParam);
    EXPECT_EQ(aPacketLog_Put(log.get(), 1, 0, nullptr), aErrNone); // nothing to read
    EXPECT_EQ(aPacketLog_Put(log.get(), 1, 1, &byte), aErrNone);
    EXPECT_EQ(aPacketLog_Get(log.get(), nullptr, &length, &byte), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log.get(), &type, nullptr, &byte), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, nullptr), aErrParam);
    EXPECT_EQ(takeAll(log.get()), (std::vector<Record>{record(1, 0), record(1, 1)}));
}

TEST(PacketLogRing, DropsTheOldestRecordsToMakeRoom) {
    LogPtr log{aPacketLog_Create(16)};
    EXPECT_EQ(put(log.get(), record(1, 10)), aErrNone);
    // 4 bytes free, 5 needed: the first record gives way.
    EXPECT_EQ(put(log.get(), record(2, 2, 0x50)), aErrNone);
    EXPECT_EQ(takeAll(log.get()), std::vector<Record>{record(2, 2, 0x50)});

    for (uint8_t i = 0; i < 6; i++) // 3 bytes each: only the last five fit in 15
        EXPECT_EQ(put(log.get(), record(3, 1, i)), aErrNone);
    EXPECT_EQ(takeAll(log.get()),
              (std::vector<Record>{record(3, 1, 1), record(3, 1, 2), record(3, 1, 3),
                                   record(3, 1, 4), record(3, 1, 5)}));
}

// A ring of s bytes holds records of at most s - 3 data bytes, and at most 255 can be framed.
// A refused record leaves what the ring held.
TEST(PacketLogRing, RefusesRecordsThatCanNeverFit) {
    struct Case {
        uint32_t size;
        uint32_t length;
        aErr expected;
    };
    const Case cases[] = {
        {16, 14, aErrOverrun},    {16, 13, aErrNone},
        {3, 0, aErrNone},         {3, 1, aErrOverrun},
        {2, 0, aErrOverrun},      {1, 0, aErrOverrun},
        {258, 255, aErrNone},     {257, 255, aErrOverrun},
        {1024, 256, aErrOverrun}, {1024, 0xFFFFFFFFu, aErrOverrun},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "size " << c.size << " length " << c.length);
        LogPtr log{aPacketLog_Create(c.size)};
        ASSERT_NE(log, nullptr);
        const bool roomForKept = c.size >= 3;
        const Record kept = record(7, 0);
        if (roomForKept) {
            ASSERT_EQ(put(log.get(), kept), aErrNone);
        }
        const uint32_t bytes = c.length <= 1024 ? c.length : 1; // data is never read when refused
        std::vector<uint8_t> data(bytes, 0x11);
        EXPECT_EQ(aPacketLog_Put(log.get(), 9, c.length, data.data()), c.expected);
        std::vector<Record> expected;
        if (c.expected == aErrNone)
            expected.push_back(Record{9, data});
        else if (roomForKept)
            expected.push_back(kept);
        EXPECT_EQ(takeAll(log.get()), expected);
    }
}

TEST(PacketLogRing, TooSmallCapacityReportsTheRecordAndKeepsIt) {
    LogPtr log{aPacketLog_Create(32)};
    ASSERT_EQ(put(log.get(), record(0xFF, 6, 0x30)), aErrNone);
    Taken small = take(log.get(), 3);
    EXPECT_EQ(small.result, aErrOverrun);
    EXPECT_EQ(small.length, 6u);
    EXPECT_EQ(small.record.type, 0xFFu); // zero-extended, not sign-extended
    Taken fitting = take(log.get(), 6);
    EXPECT_EQ(fitting.result, aErrNone);
    EXPECT_EQ(fitting.record, record(0xFF, 6, 0x30));
    EXPECT_EQ(take(log.get()).result, aErrNotFound);
}

TEST(PacketLogRing, EmptyRecordTakesTwoBytesAndNeedsNoDestination) {
    LogPtr log{aPacketLog_Create(16)};
    ASSERT_EQ(put(log.get(), record(2, 0)), aErrNone);
    EXPECT_EQ(log->writeIndex, 2u);
    uint32_t type = 0, length = 0;
    EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, nullptr), aErrNone);
    EXPECT_EQ(type, 2u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(log->readIndex, 2u);
    EXPECT_EQ(take(log.get()).result, aErrNotFound);
}

// Random records through small rings, against a model of "the newest records that fit with
// one byte to spare": every record comes back intact and in order, whatever its wrap.
TEST(PacketLogRing, WrappedRecordsComeBackIntactAndInOrder) {
    for (uint32_t size : {5u, 17u, 31u, 64u, 300u}) {
        SCOPED_TRACE(::testing::Message() << "size " << size);
        LogPtr log{aPacketLog_Create(size)};
        std::deque<Record> model;
        size_t used = 0;
        std::mt19937 random(size);
        for (int step = 0; step < 3000; step++) {
            if (random() % 3) {
                const size_t length = random() % (std::min<size_t>(size, 300) + 1);
                Record r = record(static_cast<uint32_t>(1 + random() % 3), length,
                                  static_cast<uint8_t>(random()));
                const aErr result = put(log.get(), r);
                if (length + 2 >= size || length > 255) {
                    ASSERT_EQ(result, aErrOverrun);
                    continue;
                }
                ASSERT_EQ(result, aErrNone);
                while (used + length + 2 > size - 1) {
                    used -= model.front().data.size() + 2;
                    model.pop_front();
                }
                used += length + 2;
                model.push_back(std::move(r));
            } else {
                const uint32_t capacity = static_cast<uint32_t>(random() % 300);
                Taken t = take(log.get(), capacity);
                if (model.empty()) {
                    ASSERT_EQ(t.result, aErrNotFound);
                } else if (capacity < model.front().data.size()) {
                    ASSERT_EQ(t.result, aErrOverrun);
                    ASSERT_EQ(t.length, model.front().data.size());
                    ASSERT_EQ(t.record.type, model.front().type);
                } else {
                    ASSERT_EQ(t.result, aErrNone);
                    ASSERT_EQ(t.record, model.front()) << "step " << step;
                    used -= model.front().data.size() + 2;
                    model.pop_front();
                }
            }
        }
    }
}
