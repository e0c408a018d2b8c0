// Entities over an unshared TCP/IP link to the simulated module: SystemClass against the
// simulator's system entity, byte buffers of every length, I2CClass against its I2C
// entity, and what each makes of faulty answers.
#include <gtest/gtest.h>

#include <memory>

#include "ApiTest.h"
#include "Module.h"
#include "autoGen_I2CClass_CPP.h"
#include "autoGen_SystemClass_CPP.h"
#include "tfsim/I2CEntity.h"
#include "tfsim/SystemEntity.h"

using namespace apitest;
using namespace Keldoran::Tessaform;
namespace match = tfsim::match;
using tfsim::Fault;
using tfsim::Key;

namespace {

constexpr uint8_t kName = 32;

class EntityOverTcp : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(module.setConfig(unshared()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(tcpSpec(sim.port(), nextSerial())), aErrNone);
        system.init(&module, 0);
        i2c.init(&module, 0);
    }

    Key sys(uint8_t option, uint8_t subindex = 0) {
        return Key{.command = 3, .option = option, .index = 0, .subindex = subindex};
    }

    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    std::shared_ptr<tfsim::SystemEntity> table =
        sim.add(std::make_shared<tfsim::SystemEntity>(tfsim::Identity{.module = 0x06,
                                                                      .model = 13,
                                                                      .serial = 0x40F5849A,
                                                                      .name = "ten bytes!",
                                                                      .nameCapacity = 2000}));
    std::shared_ptr<tfsim::I2CEntity> bus = sim.add(std::make_shared<tfsim::I2CEntity>());
    Module module{0x06};
    SystemClass system;
    I2CClass i2c;
};

TEST(EntityUnbound, EveryOperationGivesResource) {
    SystemClass s;
    I2CClass i;
    EXPECT_EQ(s.getIndex(), 0);
    uint8_t b = 0;
    uint32_t w = 0;
    size_t n = 0;
    uint8_t buffer[28];
    EXPECT_EQ(s.getModel(&b), aErrResource);
    EXPECT_EQ(s.getSerialNumber(&w), aErrResource);
    EXPECT_EQ(s.setRouter(2), aErrResource);
    EXPECT_EQ(s.reset(), aErrResource);
    EXPECT_EQ(s.getName(buffer, sizeof buffer, &n), aErrResource);
    EXPECT_EQ(s.setName(buffer, 2), aErrResource);
    EXPECT_EQ(s.sendPacket(3, 0, nullptr), aErrResource);
    EXPECT_EQ(s.receivePacket(buffer, &b, buffer), aErrResource);
    EXPECT_EQ(s.awaitUEI32Val(1, &w, 0), aErrResource);
    EXPECT_EQ(s.drainUEI(1), aErrResource);
    EXPECT_EQ(s.saveEntityToStore(), aErrResource);
    EXPECT_EQ(i.read(0x50, 1, buffer), aErrResource);
    EXPECT_EQ(i.write(0x50, 1, buffer), aErrResource);
    EXPECT_EQ(i.setPullup(1), aErrResource);
    EXPECT_EQ(s.getModel(nullptr), aErrParam);
}

TEST_F(EntityOverTcp, SystemIdentity) {
    uint8_t model = 0;
    uint64_t since = sim.mark();
    ASSERT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 13);
    EXPECT_EQ(requestsTo(sim, 0x06, since), (std::vector<Bytes>{{3, 0x48, 0x20}}));
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
    uint32_t version = 0;
    ASSERT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, 0x2F020F03u);
    uint8_t address = 0;
    ASSERT_EQ(system.getModule(&address), aErrNone);
    EXPECT_EQ(address, 0x06);
    table->set(sys(27), 0xFFFFFFF6u);
    int32_t temperature = 0;
    ASSERT_EQ(system.getTemperature(&temperature), aErrNone);
    EXPECT_EQ(temperature, -10);

    uint8_t name[32] = {};
    size_t n = 0;
    ASSERT_EQ(system.getName(name, sizeof name, &n), aErrNone);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(Bytes(name, name + n), Bytes({'t', 'e', 'n', ' ', 'b', 'y', 't', 'e', 's', '!'}));
}

TEST_F(EntityOverTcp, SetsCallsAndSubindexOnTheWire) {
    uint64_t since = sim.mark();
    ASSERT_EQ(system.setRouter(0x04), aErrNone);
    EXPECT_EQ(table->value(sys(2)), 0x04u);
    ASSERT_EQ(system.setPowerLimitMax(0x01020304), aErrNone);
    EXPECT_EQ(table->value(sys(34)), 0x01020304u);
    table->setResetAction(tfsim::Action::None);
    ASSERT_EQ(system.reset(), aErrNone);
    EXPECT_EQ(table->resets(), 1u);
    uint32_t id = 0;
    ASSERT_EQ(system.getUEI32(39, 3, &id), aErrNone);
    EXPECT_EQ(id, 0x44444444u) << "the unique id's fourth word";
    table->define({.command = 3, .option = 50}, tfsim::Width::U16, 0);
    ASSERT_EQ(system.setUEI16(50, 0x1234), aErrNone);
    EXPECT_EQ(table->value(sys(50)), 0x1234u);
    ASSERT_EQ(system.routeToMe(1), aErrNone);
    EXPECT_TRUE(table->routing());
    EXPECT_EQ(requestsTo(sim, 0x06, since), (std::vector<Bytes>{
                                                {3, 0x82, 0x20, 0x04},
                                                {3, 0xA2, 0x20, 1, 2, 3, 4},
                                                {3, 0x8B, 0x20},
                                                {3, 0x67, 0x20, 3},
                                                {3, 0xB2, 0x20, 0x12, 0x34},
                                                {3, 0x94, 0x20, 1},
                                            }));
}

TEST_F(EntityOverTcp, StoreOperationsNameTheEntity) {
    I2CClass second;
    second.init(&module, 1);
    uint64_t since = sim.mark();
    ASSERT_EQ(second.saveEntityToStore(), aErrNone);
    ASSERT_EQ(second.resetEntityToFactoryDefaults(), aErrNone);
    ASSERT_EQ(second.loadEntityFromStore(), aErrNone);
    for (uint8_t option : {uint8_t{0}, uint8_t{1}, uint8_t{2}})
        EXPECT_EQ(table->value({.command = 92, .option = option}), 0x801u) << int(option);
    EXPECT_EQ(requestsTo(sim, 0x06, since), (std::vector<Bytes>{{92, 0x80, 0x20, 0, 0, 8, 1},
                                                                {92, 0x81, 0x20, 0, 0, 8, 1},
                                                                {92, 0x82, 0x20, 0, 0, 8, 1}}));
    table->addFault(
        {.command = 92, .option = 0, .times = 1, .error = Fault::Error::WithCode, .code = 28});
    EXPECT_EQ(second.saveEntityToStore(), aErrInvalidEntity) << "the device's code passes through";
}

TEST_F(EntityOverTcp, ByteBuffersOfEveryLength) {
    for (size_t size : {1u, 2u, 23u, 24u, 25u, 48u, 49u, 1000u, 1001u, 1999u, 2000u}) {
        Bytes name = pattern(size, static_cast<uint8_t>(size));
        ASSERT_EQ(system.setName(name.data(), name.size()), aErrNone) << size;
        EXPECT_EQ(table->bytes(sys(kName)), name) << size;
        Bytes back(2000, 0);
        size_t n = 0;
        ASSERT_EQ(system.getName(back.data(), back.size(), &n), aErrNone) << size;
        ASSERT_EQ(n, size);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), name) << size;
    }
    // 200 packets: the sequence numbers wrap after 127.
    Bytes big = pattern(4800, 3);
    table->defineBytes(sys(51), big, 4800);
    Bytes back(4800);
    size_t n = 0;
    ASSERT_EQ(system.getUEIBytes(51, back.data(), back.size(), &n), aErrNone);
    EXPECT_EQ(n, 4800u);
    EXPECT_EQ(back, big);
}

TEST_F(EntityOverTcp, ByteBufferGetThatDoesNotFit) {
    Bytes fifty = pattern(50);
    table->setBytes(sys(kName), fifty);
    Bytes back(40, 0xEE);
    size_t n = 0;
    EXPECT_EQ(system.getName(back.data(), back.size(), &n), aErrMemory);
    EXPECT_EQ(n, 24u);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 24), Bytes(fifty.begin(), fifty.begin() + 24));
    EXPECT_EQ(back[24], 0xEE) << "nothing past what fitted";
    EXPECT_EQ(system.getName(nullptr, 4, &n), aErrParam);
    EXPECT_EQ(system.getName(back.data(), 0, &n), aErrParam);
    EXPECT_EQ(system.getName(back.data(), 4, nullptr), aErrParam);
}

TEST_F(EntityOverTcp, ByteBufferSequenceFaults) {
    Bytes name = pattern(100);
    table->setBytes(sys(kName), name);
    for (auto sequence : {Fault::Sequence::Swapped, Fault::Sequence::Duplicated}) {
        for (size_t at : {0u, 2u}) {
            table->addFault(
                {.command = 3, .option = kName, .times = 1, .sequence = sequence, .at = at});
            Bytes back(200);
            size_t n = 0;
            ASSERT_EQ(system.getName(back.data(), back.size(), &n), aErrNone) << at;
            ASSERT_EQ(n, 100u);
            EXPECT_EQ(Bytes(back.begin(), back.begin() + 100), name);
        }
    }
    // A duplicate left behind is not taken for the next transfer's first packet.
    table->setBytes(sys(kName), pattern(30, 9));
    Bytes back(200);
    size_t n = 0;
    ASSERT_EQ(system.getName(back.data(), back.size(), &n), aErrNone);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), pattern(30, 9));
}

TEST_F(EntityOverTcp, ArrayOfWords) {
    table->setBytes(sys(31), pattern(8));
    uint32_t values[4] = {};
    size_t n = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(values, 4, &n), aErrNone);
    EXPECT_EQ(n, 2u);
    table->setBytes(sys(31), pattern(6));
    EXPECT_EQ(system.getInputPowerBehaviorConfig(values, 4, &n), aErrMemory);
    const uint32_t words[2] = {0x01020304, 0x0A0B0C0D};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(words, 2), aErrNone);
    const auto* raw = reinterpret_cast<const uint8_t*>(words);
    EXPECT_EQ(table->bytes(sys(31)), Bytes(raw, raw + 8)) << "as the words lie in memory";

    size_t count = 12;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 3u);
    count = 13;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrMemory);
    EXPECT_EQ(count, 13u);
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
}

// Faulty answers to a get: the device's code, or an error of this layer, never success.
TEST_F(EntityOverTcp, FaultyAnswersToGets) {
    struct Case {
        const char* what;
        uint8_t option;
        Fault fault;
        aErr expected;
    } cases[] = {
        {"error with a code", 8, {.error = Fault::Error::WithCode, .code = 29}, aErrInvalidOption},
        {"error without a code", 8, {.error = Fault::Error::WithoutCode}, aErrUnknown},
        {"error code 0", 8, {.error = Fault::Error::WithCode, .code = 0}, aErrUnknown},
        {"8 bits answered as 16", 8, {.length = 5}, aErrSize},
        {"8 bits answered without a value", 8, {.length = 3}, aErrSize},
        {"32 bits answered as 8", 9, {.length = 4}, aErrSize},
        {"32 bits in 6 bytes", 9, {.length = 6}, aErrSize},
        {"another option echoed", 8, {.echoOption = 7}, aErrTimeout},
        {"another index echoed", 8, {.echoIndex = 1}, aErrTimeout},
        {"silent", 8, {.silent = true}, aErrTimeout},
        {"late", 8, {.delay = 1500ms}, aErrTimeout},
    };
    for (Case c : cases) {
        c.fault.command = 3;
        c.fault.option = c.option;
        c.fault.times = 1;
        table->addFault(c.fault);
        uint32_t value = 0xAAAAAAAA;
        uint8_t byte = 0xAA;
        aErr result = c.option == 8 ? system.getModel(&byte) : system.getSerialNumber(&value);
        EXPECT_EQ(result, c.expected) << c.what;
        EXPECT_EQ(byte, 0xAA) << c.what << ": the caller's variable is untouched";
        EXPECT_EQ(value, 0xAAAAAAAAu) << c.what;
        system.drainUEI(c.option); // a late answer is nobody's
    }
}

TEST_F(EntityOverTcp, FaultyAnswersToSetsAndBuffers) {
    table->addFault({.command = 3, .option = 2, .times = 1, .error = Fault::Error::WithoutCode});
    EXPECT_EQ(system.setRouter(4), aErrUnknown);
    table->addFault({.command = 3, .option = 2, .times = 1, .echoOption = 0x82});
    EXPECT_EQ(system.setRouter(4), aErrTimeout) << "the request's flags are no set reply";
    uint8_t back[64];
    size_t n = 0;
    table->addFault(
        {.command = 3, .option = kName, .times = 1, .error = Fault::Error::WithCode, .code = 26});
    EXPECT_EQ(system.getName(back, sizeof back, &n), aErrIndexRange);
    table->addFault(
        {.command = 3, .option = kName, .times = 1, .error = Fault::Error::WithoutCode});
    EXPECT_EQ(system.getName(back, sizeof back, &n), aErrUnknown);
    // A packet too short for a trailer is no part of a transfer.
    sim.self().onRequest(match::prefix(0x06, {3, 0x60}),
                         tfsim::reply(tfsim::Packet{0x06, {3, 32, 0}}), {.times = 1});
    EXPECT_EQ(system.getName(back, sizeof back, &n), aErrTimeout);
    EXPECT_EQ(n, 0u);
}

TEST_F(EntityOverTcp, AwaitsAnUnaskedValue) {
    uint32_t value = 0;
    EXPECT_EQ(system.awaitUEI32Val(9, nullptr, 0), aErrParam);
    ASSERT_TRUE(sim.send({0x06, {3, 9, 0, 1, 2, 3, 4}}));
    ASSERT_EQ(system.awaitUEI32Val(9, &value, 0), aErrNone);
    EXPECT_EQ(value, 0x01020304u);
    ASSERT_TRUE(sim.send({0x06, {3, 9, 0, 0x7F}}));
    ASSERT_EQ(system.awaitUEI32Val(0x109, &value, 0), aErrNone) << "the low 8 bits name it";
    EXPECT_EQ(value, 0x7Fu) << "widened from 8 bits";
    ASSERT_TRUE(sim.send({0x06, {3, 9, 0x80, 21}}));
    EXPECT_EQ(system.awaitUEI32Val(9, &value, 0), 21);
    ASSERT_TRUE(sim.send({0x06, {3, 9, 0}}));
    EXPECT_EQ(system.awaitUEI32Val(9, &value, 0), aErrSize);
    EXPECT_EQ(system.awaitUEI32Val(9, &value, 0), aErrTimeout);
}

TEST_F(EntityOverTcp, I2CReadAndWrite) {
    bus->addDevice(0x50, {0xAA, 0xBB, 0xCC});
    ASSERT_EQ(i2c.setSpeed(1), aErrNone);
    uint8_t buffer[23] = {};
    uint64_t since = sim.mark();
    ASSERT_EQ(i2c.read(0x50, 2, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(requestsTo(sim, 0x06, since), (std::vector<Bytes>{{8, 0, 0x51, 2, 1}}));

    const Bytes bytes = pattern(23);
    ASSERT_EQ(i2c.write(0x50, 23, bytes.data()), aErrNone);
    auto transfers = bus->transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[1].address, 0x50);
    EXPECT_EQ(transfers[1].speed, 1);
    EXPECT_EQ(transfers[1].bytes, bytes);
    ASSERT_EQ(i2c.read(0x50, 23, buffer), aErrNone);

    since = sim.mark();
    EXPECT_EQ(i2c.read(0x50, 24, buffer), aErrSize);
    EXPECT_EQ(i2c.write(0x50, 24, bytes.data()), aErrSize);
    EXPECT_TRUE(requestsTo(sim, 0x06, since).empty());

    EXPECT_EQ(i2c.write(0x60, 1, bytes.data()), aErrIO) << "nobody at 0x60: status 0x86";
    EXPECT_EQ(i2c.read(0x60, 1, buffer), aErrIO);
}

TEST_F(EntityOverTcp, I2CFaults) {
    bus->addDevice(0x50, {0xAA, 0xBB, 0xCC, 0xDD});
    struct Case {
        const char* what;
        bool read;
        Fault fault;
        aErr expected;
    } cases[] = {
        {"write: device error 5", false, {.error = Fault::Error::WithCode, .code = 5}, aErrBusy},
        {"write: error status without a code",
         false,
         {.error = Fault::Error::WithCode, .code = 0},
         aErrUnknown},
        {"write: reply of 4 bytes", false, {.error = Fault::Error::WithoutCode}, aErrPacket},
        {"write: silent", false, {.silent = true}, aErrTimeout},
        {"read: reply of 4 bytes", true, {.length = 4}, aErrPacket},
        {"read: fewer bytes than asked", true, {.length = 7}, aErrSize},
        {"read: another address echoed", true, {.echoOption = 0x53}, aErrTimeout},
    };
    for (Case c : cases) {
        c.fault.command = 8;
        c.fault.option = c.read ? 0x51 : 0x50;
        c.fault.times = 1;
        bus->addFault(c.fault);
        uint8_t buffer[8];
        std::fill(std::begin(buffer), std::end(buffer), 0xEE);
        const uint8_t one = 1;
        aErr result = c.read ? i2c.read(0x50, 4, buffer) : i2c.write(0x50, 1, &one);
        EXPECT_EQ(result, c.expected) << c.what;
        if (c.fault.length == 7u) {
            EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0xAA, 0xBB, 0xEE})) << "two bytes came";
        }
    }
    // The reply announces more than was asked: only what was asked is copied.
    sim.self().onRequest(match::prefix(0x06, {8, 0, 0x51}),
                         tfsim::reply(tfsim::Packet{0x06, {8, 0, 0x51, 6, 0, 1, 2, 3, 4, 5, 6}}),
                         {.times = 1});
    uint8_t two[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(i2c.read(0x50, 2, two), aErrNone);
    EXPECT_EQ(Bytes(two, two + 3), (Bytes{1, 2, 0xEE}));
}

TEST_F(EntityOverTcp, I2CSpeedAndPullups) {
    I2CClass fresh;
    uint8_t speed = 9;
    ASSERT_EQ(fresh.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    ASSERT_EQ(i2c.setSpeed(2), aErrNone);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 2) << "kept";

    uint64_t since = sim.mark();
    ASSERT_EQ(i2c.setPullup(7), aErrNone);
    EXPECT_EQ(bus->pullup(), std::optional<bool>(true));
    ASSERT_EQ(i2c.setPullup(0), aErrNone);
    EXPECT_EQ(bus->pullup(), std::optional<bool>(false));
    EXPECT_EQ(requestsTo(sim, 0x06, since), (std::vector<Bytes>{{8, 0, 1, 1, 2}, {8, 0, 1, 0, 2}}));
}

} // namespace
