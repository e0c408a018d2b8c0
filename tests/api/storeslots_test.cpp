// Store slots and factory data over an unshared TCP/IP link to the simulated module: round
// trips, the limits of slots and buffers, and every malformed or missing answer.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "ApiTest.h"
#include "Eventually.h"
#include "Link.h"
#include "tfsim/FactoryDataEntity.h"
#include "tfsim/StoreSlotEntity.h"

using namespace apitest;
using namespace Keldoran::Tessaform;
namespace match = tfsim::match;
using tfsim::Fault;

namespace {

constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kSlotCmd = 4;
constexpr uint8_t kFactoryCmd = 0x5E;
enum : uint8_t { kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4 };
enum : uint8_t { kRead = 6, kWrite = 7, kClose = 8 };
// An error code of the module's own, outside the host's table.
constexpr uint8_t kCode = 42;
constexpr aErr kModuleError = static_cast<aErr>(kCode);

// Where an empty image starts: a null pointer is refused whatever the length.
const uint8_t* bytesOf(const Bytes& b) {
    static const uint8_t none = 0;
    return b.empty() ? &none : b.data();
}

class StoreOverTcp : public testing::Test {
  protected:
    void SetUp() override {
        link.setLinkSpecifier(tcpSpec(sim.port(), nextSerial()));
        ASSERT_EQ(link.setConfig(unshared()), aErrNone);
        ASSERT_EQ(link.connect(), aErrNone);
        ASSERT_TRUE(tftest::eventually([&] { return connections(sim) > 0; }));
    }

    // The requests of one command the module got since `since`.
    std::vector<Bytes> requests(uint8_t command, uint64_t since = 0) const {
        std::vector<Bytes> out;
        for (Bytes& r : requestsTo(sim, kAddress, since))
            if (!r.empty() && r[0] == command) out.push_back(std::move(r));
        return out;
    }
    std::vector<Bytes> slotRequests(uint8_t sub, uint64_t since = 0) const {
        std::vector<Bytes> out;
        for (Bytes& r : requests(kSlotCmd, since))
            if (r.size() >= 2 && r[1] == sub) out.push_back(std::move(r));
        return out;
    }
    // Every open answered by a close, once the module has seen the last request.
    bool handlesClosed() const {
        return tftest::eventually([&] { return slots->openHandles() == 0; });
    }

    tfsim::Module sim{tfsim::Config{.address = kAddress}};
    std::shared_ptr<tfsim::StoreSlotEntity> slots =
        sim.add(std::make_shared<tfsim::StoreSlotEntity>());
    std::shared_ptr<tfsim::FactoryDataEntity> factory =
        sim.add(std::make_shared<tfsim::FactoryDataEntity>());
    Link link{"store"};
};

TEST_F(StoreOverTcp, SlotRoundTripsOfEverySize) {
    for (size_t n : {0u, 1u, 25u, 60u, 300u, 4096u}) {
        SCOPED_TRACE("length " + std::to_string(n));
        const uint8_t slot = static_cast<uint8_t>(n % 251);
        slots->defineSlot(2, slot, 4096);
        const Bytes image = pattern(n, static_cast<uint8_t>(n));
        const uint64_t since = sim.mark();

        ASSERT_EQ(link.loadStoreSlot(kAddress, 2, slot, bytesOf(image), n), aErrNone);
        EXPECT_EQ(slots->content(2, slot), image);
        const auto writes = slotRequests(kWrite, since);
        ASSERT_EQ(writes.size(), (n + 24) / 25);
        for (size_t i = 0; i < writes.size(); i++)
            EXPECT_EQ(writes[i].size(), 3 + std::min<size_t>(25, n - 25 * i)) << "write " << i;
        EXPECT_EQ(slotRequests(kClose, since).size(), 1u);

        size_t size = 9999;
        ASSERT_EQ(link.storeSlotSize(kAddress, 2, slot, &size), aErrNone);
        EXPECT_EQ(size, n);
        Bytes back(n + 1, 0xEE);
        size_t read = 9999;
        ASSERT_EQ(link.unloadStoreSlot(kAddress, 2, slot, back.data(), n, &read), aErrNone);
        EXPECT_EQ(read, n);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), image);
        EXPECT_EQ(back[n], 0xEE) << "nothing past what was read";
        EXPECT_TRUE(handlesClosed());
    }
}

TEST_F(StoreOverTcp, SlotCapacityAndBufferLimits) {
    slots->defineSlot(1, 3, 40);
    size_t capacity = 0;
    ASSERT_EQ(link.storeSlotCapacity(kAddress, 1, 3, &capacity), aErrNone);
    EXPECT_EQ(capacity, 40u);

    const Bytes full = pattern(40);
    ASSERT_EQ(link.loadStoreSlot(kAddress, 1, 3, full.data(), full.size()), aErrNone)
        << "an exact fill";
    const Bytes over = pattern(41, 9);
    EXPECT_EQ(link.loadStoreSlot(kAddress, 1, 3, over.data(), over.size()),
              tfsim::StoreSlotEntity::kFull)
        << "the module's code for the chunk that does not fit";
    EXPECT_TRUE(handlesClosed()) << "closed after the refused write";

    ASSERT_EQ(link.loadStoreSlot(kAddress, 1, 3, full.data(), full.size()), aErrNone);
    Bytes back(30);
    size_t read = 0;
    EXPECT_EQ(link.unloadStoreSlot(kAddress, 1, 3, back.data(), back.size(), &read), aErrOverrun);
    EXPECT_EQ(read, 30u);
    EXPECT_EQ(back, Bytes(full.begin(), full.begin() + 30));
    EXPECT_TRUE(handlesClosed());

    size_t untouched = 77;
    EXPECT_EQ(link.storeSlotSize(kAddress, 9, 9, &untouched), tfsim::StoreSlotEntity::kNoSuchSlot);
    EXPECT_EQ(untouched, 77u);
}

// One operation and the answer it gets wrong: its result, and whether a close followed.
struct SlotFaultCase {
    const char* name;
    std::function<void(tfsim::Module&, tfsim::StoreSlotEntity&)> arrange;
    enum { Load, Unload, Size, Capacity } op;
    aErr expected;
    size_t closes;
    bool closeAnswered = true; // the module let the handle go
};

TEST_F(StoreOverTcp, SlotReplyFaults) {
    auto fault = [](uint8_t sub, Fault f) {
        f.command = kSlotCmd;
        f.option = sub;
        return [sub, f](tfsim::Module&, tfsim::StoreSlotEntity& s) { s.addFault(f); };
    };
    auto script = [](uint8_t sub, Bytes reply, uint8_t from = kAddress) {
        return [=](tfsim::Module& m, tfsim::StoreSlotEntity&) {
            m.onRequest(match::prefix(kAddress, {kSlotCmd, sub}),
                        tfsim::reply(tfsim::Packet{from, reply}));
        };
    };
    const Fault coded{.error = Fault::Error::WithCode, .code = kCode};
    const Fault codeless{.error = Fault::Error::WithoutCode};
    const Fault silent{.silent = true};
    // The store and slot below are 0 and 5, the first handle 1.
    const SlotFaultCase cases[] = {
        {"open for writing refused", fault(kOpenWrite, coded), SlotFaultCase::Load, aErrMedia, 0},
        {"open reply without a handle", fault(kOpenWrite, Fault{.length = 4}), SlotFaultCase::Load,
         aErrMedia, 0},
        {"open unanswered", fault(kOpenWrite, silent), SlotFaultCase::Load, aErrMedia, 0},
        {"write refused", fault(kWrite, coded), SlotFaultCase::Load, kModuleError, 1},
        {"write refused without a code", fault(kWrite, codeless), SlotFaultCase::Load, aErrUnknown,
         1},
        {"write sum wrong", script(kWrite, {kSlotCmd, kWrite, 1, 0xEE}), SlotFaultCase::Load,
         aErrIO, 1},
        {"write unanswered", fault(kWrite, silent), SlotFaultCase::Load, aErrTimeout, 1},
        {"close refused", fault(kClose, coded), SlotFaultCase::Load, kModuleError, 1, false},
        {"close reply too long", fault(kClose, Fault{.length = 5}), SlotFaultCase::Load, aErrIO, 1},
        {"close unanswered counts as done", fault(kClose, silent), SlotFaultCase::Load, aErrNone, 1,
         false},
        {"open for reading refused", fault(kOpenRead, coded), SlotFaultCase::Unload, aErrMedia, 0},
        {"read refused", fault(kRead, coded), SlotFaultCase::Unload, kModuleError, 1},
        {"read reply without slot bytes", fault(kRead, Fault{.length = 3}), SlotFaultCase::Unload,
         aErrUnknown, 1},
        {"read unanswered", fault(kRead, silent), SlotFaultCase::Unload, aErrTimeout, 1},
        {"size refused", fault(kSize, coded), SlotFaultCase::Unload, kModuleError, 0},
        {"size refused without a code", fault(kSize, codeless), SlotFaultCase::Size, aErrUnknown,
         0},
        {"size reply short", fault(kSize, Fault{.length = 5}), SlotFaultCase::Size, aErrUnknown, 0},
        {"size unanswered", fault(kSize, silent), SlotFaultCase::Size, aErrTimeout, 0},
        {"size from another module", script(kSize, {kSlotCmd, kSize, 0, 5, 0, 9}, 0x08),
         SlotFaultCase::Size, aErrTimeout, 0},
        {"capacity refused", fault(kCapacity, coded), SlotFaultCase::Capacity, kModuleError, 0},
        {"capacity reply short", fault(kCapacity, Fault{.length = 5}), SlotFaultCase::Capacity,
         aErrUnknown, 0},
    };
    const Bytes image = pattern(30);
    for (const SlotFaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        slots->clearFaults();
        slots->closeAll();
        sim.clearRules();
        slots->defineSlot(0, 5, 100, image);
        c.arrange(sim, *slots);
        const uint64_t since = sim.mark();
        size_t out = 12345;
        Bytes buffer(64, 0xEE);
        switch (c.op) {
        case SlotFaultCase::Load:
            EXPECT_EQ(link.loadStoreSlot(kAddress, 0, 5, image.data(), image.size()), c.expected);
            break;
        case SlotFaultCase::Unload:
            EXPECT_EQ(link.unloadStoreSlot(kAddress, 0, 5, buffer.data(), buffer.size(), &out),
                      c.expected);
            EXPECT_EQ(out, 12345u) << "no count after a failure";
            break;
        case SlotFaultCase::Size:
            EXPECT_EQ(link.storeSlotSize(kAddress, 0, 5, &out), c.expected);
            EXPECT_EQ(out, 12345u);
            break;
        case SlotFaultCase::Capacity:
            EXPECT_EQ(link.storeSlotCapacity(kAddress, 0, 5, &out), c.expected);
            EXPECT_EQ(out, 12345u);
            break;
        }
        EXPECT_EQ(slotRequests(kClose, since).size(), c.closes);
        if (c.closes == 0) {
            EXPECT_TRUE(slotRequests(kWrite, since).empty() && slotRequests(kRead, since).empty())
                << "nothing sent through a handle that was never given";
        }
        if (c.closes == 1 && c.closeAnswered) {
            EXPECT_TRUE(handlesClosed());
        }
    }
}

TEST_F(StoreOverTcp, FactoryDataRoundTrips) {
    for (size_t n : {0u, 1u, 26u, 27u, 300u}) {
        SCOPED_TRACE("length " + std::to_string(n));
        const uint8_t kind = static_cast<uint8_t>(n % 16);
        factory->define(kind, 512);
        const Bytes data = pattern(n, 3);
        const uint64_t since = sim.mark();

        ASSERT_EQ(link.setFactoryData(kAddress, kind, bytesOf(data), n), aErrNone);
        EXPECT_EQ(factory->data(kind), data);
        const auto sent = requests(kFactoryCmd, since);
        ASSERT_EQ(sent.size(), (n + 25) / 26 + 1);
        for (size_t i = 0; i + 1 < sent.size(); i++) {
            const uint8_t flags = static_cast<uint8_t>(0x10 | (i == 0 ? 0x40 : 0));
            EXPECT_EQ(sent[i][1], flags | kind) << "chunk " << i;
            EXPECT_EQ(sent[i].size(), 2 + std::min<size_t>(26, n - 26 * i)) << "chunk " << i;
        }
        EXPECT_EQ(sent.back(), (Bytes{kFactoryCmd, 0x20, static_cast<uint8_t>(n >> 8),
                                      static_cast<uint8_t>(n)}));

        Bytes back(n + 1, 0xEE);
        size_t length = 9999;
        ASSERT_EQ(link.getFactoryData(kAddress, kind, back.data(), back.size(), &length), aErrNone);
        EXPECT_EQ(length, n);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), data);
        EXPECT_EQ(factory->finishes().back(), n) << "the read's finish carries its total";
    }
}

TEST_F(StoreOverTcp, FactoryDataNeedsRoomToSpare) {
    factory->define(3, 64, pattern(26));
    Bytes buffer(27);
    size_t length = 0;
    EXPECT_EQ(link.getFactoryData(kAddress, 3, buffer.data(), 26, &length), aErrOverrun)
        << "a buffer the data would fill exactly";
    EXPECT_EQ(length, 0u);

    const uint64_t since = sim.mark();
    ASSERT_EQ(link.getFactoryData(kAddress, 3, buffer.data(), 27, &length), aErrNone);
    EXPECT_EQ(length, 26u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 26), pattern(26));
    EXPECT_EQ(
        requests(kFactoryCmd, since),
        (std::vector<Bytes>{{kFactoryCmd, 0x43}, {kFactoryCmd, 0x03}, {kFactoryCmd, 0x20, 0, 26}}))
        << "a full chunk asks for more; the empty one ends the transfer";

    factory->define(4, 0);
    ASSERT_EQ(link.getFactoryData(kAddress, 4, buffer.data(), 1, &length), aErrNone);
    EXPECT_EQ(length, 0u) << "no data fits a buffer of one";
}

TEST_F(StoreOverTcp, FactoryDataTotalStaysWithinSixteenBits) {
    factory->define(5, 70000, pattern(65536, 5));
    Bytes buffer(70000);
    size_t length = 0;
    EXPECT_EQ(link.getFactoryData(kAddress, 5, buffer.data(), buffer.size(), &length), aErrOverrun);
    for (uint16_t total : factory->finishes())
        ADD_FAILURE() << "a finish was sent with a total cut to " << total;

    factory->define(5, 70000, pattern(65535, 5));
    ASSERT_EQ(link.getFactoryData(kAddress, 5, buffer.data(), buffer.size(), &length), aErrNone);
    EXPECT_EQ(length, 65535u);
    EXPECT_EQ(factory->finishes(), std::vector<uint16_t>{65535});
}

struct FactoryFaultCase {
    const char* name;
    uint8_t option; // the fault's: kind, 0x10 | kind, 0x20 the finish
    Fault fault;
    bool write;
    size_t capacity; // of a read
    aErr expected;
};

TEST_F(StoreOverTcp, FactoryDataReplyFaults) {
    const Fault coded{.error = Fault::Error::WithCode, .code = kCode};
    const Fault silent{.silent = true};
    const FactoryFaultCase cases[] = {
        {"read refused", 0x02, coded, false, 64, kModuleError},
        {"read refused into a buffer of one", 0x02, coded, false, 1, kModuleError},
        {"read unanswered", 0x02, silent, false, 64, aErrTimeout},
        {"read finish refused", 0x20, coded, false, 64, kModuleError},
        {"read finish unanswered", 0x20, silent, false, 64, aErrTimeout},
        {"write refused", 0x12, coded, true, 0, kModuleError},
        {"write reply with data", 0x12, Fault{.length = 3}, true, 0, aErrSize},
        {"write unanswered", 0x12, silent, true, 0, aErrTimeout},
        {"write finish refused", 0x20, coded, true, 0, kModuleError},
        {"write finish unanswered", 0x20, silent, true, 0, aErrTimeout},
    };
    const Bytes data = pattern(10);
    for (const FactoryFaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        factory->define(2, 64, data);
        Fault f = c.fault;
        f.command = kFactoryCmd;
        f.option = c.option;
        f.times = 1;
        factory->addFault(f);
        Bytes buffer(64, 0xEE);
        size_t length = 12345;
        if (c.write) {
            EXPECT_EQ(link.setFactoryData(kAddress, 2, data.data(), data.size()), c.expected);
        } else {
            EXPECT_EQ(link.getFactoryData(kAddress, 2, buffer.data(), c.capacity, &length),
                      c.expected);
            EXPECT_EQ(length, 12345u) << "no length after a failure";
        }
    }
}

// Every operation refuses what it cannot use before anything is sent.
TEST_F(StoreOverTcp, RefusedArgumentsSendNothing) {
    Bytes buffer(64);
    size_t out = 0;
    const Bytes big(65536);
    struct Case {
        const char* name;
        std::function<aErr(Link&)> call;
        aErr connected;
        aErr unconnected;
    } cases[] = {
        {"load null data", [](Link& l) { return l.loadStoreSlot(kAddress, 0, 1, nullptr, 0); },
         aErrParam, aErrParam},
        {"load above 65535",
         [&](Link& l) { return l.loadStoreSlot(kAddress, 0, 1, big.data(), big.size()); },
         aErrParam, aErrParam},
        {"unload null buffer",
         [&](Link& l) { return l.unloadStoreSlot(kAddress, 0, 1, nullptr, 8, &out); }, aErrParam,
         aErrParam},
        {"unload null count",
         [&](Link& l) { return l.unloadStoreSlot(kAddress, 0, 1, buffer.data(), 8, nullptr); },
         aErrParam, aErrParam},
        {"size null", [](Link& l) { return l.storeSlotSize(kAddress, 0, 1, nullptr); }, aErrParam,
         aErrParam},
        {"capacity null", [](Link& l) { return l.storeSlotCapacity(kAddress, 0, 1, nullptr); },
         aErrParam, aErrConnection},
        {"get null buffer",
         [&](Link& l) { return l.getFactoryData(kAddress, 1, nullptr, 8, &out); }, aErrParam,
         aErrConnection},
        {"get null length",
         [&](Link& l) { return l.getFactoryData(kAddress, 1, buffer.data(), 8, nullptr); },
         aErrParam, aErrConnection},
        {"get kind 16",
         [&](Link& l) { return l.getFactoryData(kAddress, 16, buffer.data(), 8, &out); }, aErrParam,
         aErrConnection},
        {"set null data", [](Link& l) { return l.setFactoryData(kAddress, 1, nullptr, 0); },
         aErrParam, aErrConnection},
        {"set kind 16", [&](Link& l) { return l.setFactoryData(kAddress, 16, buffer.data(), 8); },
         aErrParam, aErrConnection},
        {"set above 65535",
         [&](Link& l) { return l.setFactoryData(kAddress, 1, big.data(), big.size()); }, aErrParam,
         aErrConnection},
        {"load", [&](Link& l) { return l.loadStoreSlot(kAddress, 0, 1, buffer.data(), 8); },
         aErrMedia, aErrConnection},
        {"get", [&](Link& l) { return l.getFactoryData(kAddress, 1, buffer.data(), 8, &out); },
         aErrNone, aErrConnection},
    };
    factory->define(1, 64);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t since = sim.mark();
        EXPECT_EQ(c.call(link), c.connected);
        if (c.connected == aErrParam) {
            EXPECT_TRUE(requestsTo(sim, kAddress, since).empty());
        }
    }
    ASSERT_EQ(link.disconnect(), aErrNone);
    const uint64_t since = sim.mark();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(link), c.unconnected);
    }
    EXPECT_TRUE(requestsTo(sim, kAddress, since).empty());
}

} // namespace
