// A Link's packet log file over an unshared TCP/IP link to the simulated module: the lines
// as written, which file they go to, and the logger across disconnects and refusals.
#include <gtest/gtest.h>

#include <time.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "ApiTest.h"
#include "Eventually.h"
#include "Link.h"
#include "Module.h"
#include "TempDir.h"
#include "tfsim/StoreSlotEntity.h"

using namespace apitest;
using namespace Keldoran::Tessaform;

namespace {

constexpr uint8_t kAddress = 0x06;

// The start marker: its length with the zero byte, the letters and the zero byte.
const std::string kStart = std::string("6 < START") + '\0' + "\r\n";
// A size request for store 0x0B, slot 0xC1 and its answer of 0x2F0 bytes, as logged.
const std::string kSizeSent = "6 > 0x6 0x4 0x4 0x2 0xB 0xC1 \r\n";
const std::string kSizeReceived = "8 < 0x6 0x6 0x4 0x2 0xB 0xC1 0x2 0xF0 \r\n";

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

class PacketLog : public testing::Test {
  protected:
    void SetUp() override {
        slots->defineSlot(0x0B, 0xC1, 1000, Bytes(0x2F0, 1));
        link.setLinkSpecifier(tcpSpec(sim.port(), nextSerial()));
        ASSERT_EQ(link.setConfig(unshared()), aErrNone);
        connect();
    }
    // Once the link's own route packet has gone, so that only the test's packets follow.
    void connect() {
        const uint64_t since = sim.mark();
        ASSERT_EQ(link.connect(), aErrNone);
        ASSERT_TRUE(link.isConnected());
        ASSERT_TRUE(sim.waitForPacket(tfsim::match::route(), 5s, since));
    }
    void exchange() {
        size_t size = 0;
        ASSERT_EQ(link.storeSlotSize(kAddress, 0x0B, 0xC1, &size), aErrNone);
        ASSERT_EQ(size, 0x2F0u);
    }
    // The file once it reads `expected`; the logger thread writes it a line at a time.
    std::string fileWhenItReads(const std::string& path, const std::string& expected) const {
        tftest::eventually([&] { return tftest::readFile(path) == expected; });
        return tftest::readFile(path);
    }

    tftest::TempDir dir;
    tfsim::Module sim{tfsim::Config{.address = kAddress}};
    std::shared_ptr<tfsim::StoreSlotEntity> slots =
        sim.add(std::make_shared<tfsim::StoreSlotEntity>());
    Link link{"logged"};
};

TEST_F(PacketLog, OneLinePerPacketAsSentAndReceived) {
    const std::string path = dir / "link.log";
    ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone);
    exchange();
    const std::string expected = kStart + kSizeSent + kSizeReceived;
    EXPECT_EQ(fileWhenItReads(path, expected), expected);

    ASSERT_EQ(link.disablePacketLog(), aErrNone);
    exchange();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(tftest::readFile(path), expected) << "nothing logged while disabled";
}

// The logger idles 5 ms between reads, so a stop right after an exchange finds the packets
// still in the ring: they are written before the stop returns.
TEST_F(PacketLog, StopRightAfterAnExchangeKeepsItsLines) {
    struct Case {
        const char* name;
        aErr (Link::*stop)();
    } cases[] = {{"disable", &Link::disablePacketLog}, {"disconnect", &Link::disconnect}};
    std::string expected;
    const std::string path = dir / "link.log";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!link.isConnected()) connect();
        ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone);
        expected += kStart;
        for (int i = 0; i < 3; i++) {
            exchange();
            expected += kSizeSent + kSizeReceived;
        }
        ASSERT_EQ((link.*c.stop)(), aErrNone);
        EXPECT_EQ(tftest::readFile(path), expected) << "at once, with no wait";
    }
}

TEST_F(PacketLog, EveryEnableMarksTheFirstFile) {
    const std::string first = dir / "first.log";
    const std::string second = dir / "second.log";
    ASSERT_EQ(link.enablePacketLog(first.c_str()), aErrNone);
    ASSERT_EQ(link.enablePacketLog(second.c_str()), aErrNone);
    EXPECT_EQ(fileWhenItReads(first, kStart + kStart), kStart + kStart);
    ASSERT_EQ(link.disablePacketLog(), aErrNone);
    EXPECT_EQ(link.disablePacketLog(), aErrNone) << "a stopped logger stops again";

    ASSERT_EQ(link.enablePacketLog(second.c_str()), aErrNone);
    exchange();
    const std::string expected = kStart + kStart + kStart + kSizeSent + kSizeReceived;
    EXPECT_EQ(fileWhenItReads(first, expected), expected);
    EXPECT_FALSE(std::filesystem::exists(second));
}

TEST_F(PacketLog, RefusalsWithoutALinkOrALogger) {
    EXPECT_EQ(link.disablePacketLog(), aErrParam) << "never enabled";
    EXPECT_EQ(link.enablePacketLog(nullptr), aErrParam);
    EXPECT_EQ(link.disablePacketLog(), aErrParam) << "still no logger";
    ASSERT_EQ(link.disconnect(), aErrNone);
    const std::string path = dir / "never.log";
    EXPECT_EQ(link.enablePacketLog(path.c_str()), aErrConfiguration);
    EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);

    Module module(kAddress);
    EXPECT_EQ(module.enablePacketLog(path.c_str()), aErrConfiguration);
    EXPECT_EQ(module.disablePacketLog(), aErrConfiguration);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(PacketLog, FileThatCannotBeOpenedIsAnError) {
    const std::string missing = dir / "no-such-dir/link.log";
    EXPECT_EQ(link.enablePacketLog(missing.c_str()), aErrIO);
    EXPECT_EQ(link.disablePacketLog(), aErrParam) << "no logger was made";
    exchange();

    const std::string path = dir / "link.log";
    ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone) << "a later enable makes the logger";
    exchange();
    const std::string expected = kStart + kSizeSent + kSizeReceived;
    EXPECT_EQ(fileWhenItReads(path, expected), expected)
        << "the exchange before holds no place in the log";
    ASSERT_EQ(link.disablePacketLog(), aErrNone);
}

// The logger ends with the core link it reads, and follows the Link to its next one.
TEST_F(PacketLog, DisconnectStopsTheLoggerAndReconnectKeepsTheFile) {
    const std::string path = dir / "link.log";
    ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone);
    ASSERT_EQ(fileWhenItReads(path, kStart), kStart);
    ASSERT_EQ(link.disconnect(), aErrNone);
    EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);

    connect();
    ASSERT_EQ(link.enablePacketLog((dir / "other.log").c_str()), aErrNone);
    exchange();
    const std::string expected = kStart + kStart + kSizeSent + kSizeReceived;
    EXPECT_EQ(fileWhenItReads(path, expected), expected);
    ASSERT_EQ(link.disconnect(), aErrNone) << "with the logger running";
}

// A spinning logger thread would take about a core for the whole wait.
TEST_F(PacketLog, IdleLoggerNeitherWritesNorSpins) {
    const std::string path = dir / "link.log";
    ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone);
    ASSERT_EQ(fileWhenItReads(path, kStart), kStart);

    const double before = cpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuSeconds() - before, 0.5) << "the logger idles in sleeps";
    EXPECT_EQ(tftest::readFile(path), kStart);

    ASSERT_EQ(link.disconnect(), aErrNone);
    const double after = cpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuSeconds() - after, 0.5) << "nothing polls the link that went";
}

} // namespace
