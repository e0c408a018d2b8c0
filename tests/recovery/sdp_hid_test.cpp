// The Serial Download engine over USB HID: hidapi (the fake, linked ahead of the real one)
// carries the reports to the simulated boot ROM over a Unix packet socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "Bounded.h"
#include "Eventually.h"
#include "HID_SDPLoader.h"
#include "HidEndpoint.h"
#include "SdpFixture.h"
#include "TempDir.h"
#include "fakehid.h"

namespace {

using sdptest::command;
using sdptest::image;

class SdpHid : public ::testing::Test {
  protected:
    explicit SdpHid(sdpsim::HidOptions options = {})
        : rom_(config()), endpoint_(rom_, dir_ / "rom.sock", options) {
        fakehid_reset();
        fakehid_add_device(IMX1050::VID, IMX1050::PID, endpoint_.path().c_str());
    }
    void TearDown() override {
        EXPECT_EQ(fakehid_open_handles(), 0u) << "a handle outlived its transport";
        EXPECT_EQ(fakehid_misuse_count(), 0u);
    }
    sdpsim::RomConfig config() {
        sdpsim::RomConfig c = sdptest::awkwardFuses();
        c.jumpFile = dir_ / "jumped";
        return c;
    }
    // An engine with an opened HID transport for the boot ROM's ids.
    void open(SDPLoader& engine) {
        ASSERT_TRUE(engine.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
        ASSERT_EQ(engine.init(), 0);
    }
    // The sizes of the host's reports from the n-th on.
    std::vector<size_t> reportSizesFrom(size_t n) {
        std::vector<size_t> sizes;
        auto reports = endpoint_.reports();
        for (size_t i = n; i < reports.size(); ++i)
            sizes.push_back(reports[i].size());
        return sizes;
    }

    tftest::TempDir dir_;
    sdpsim::BootRom rom_;
    sdpsim::HidEndpoint endpoint_;
};

TEST_F(SdpHid, RecoveryRoadWritesReadsAndJumps) {
    SDPLoader engine;
    open(engine);
    sdptest::expectRecoveryRoad(engine, rom_, 5000);
    EXPECT_EQ(tftest::readFile(dir_ / "jumped"), "0x20000400\n");
    // The jump report is a fresh 17 bytes, whatever the engine built before it.
    EXPECT_EQ(endpoint_.reports().back(), command({1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00}));
}

TEST_F(SdpHid, CommandReportsGoOutAsTheBootRomReadsThem) {
    SDPLoader engine;
    open(engine);
    ASSERT_EQ(engine.writeLoader(image(0x1234), 0x20000000), 0);
    u64 id = 0;
    ASSERT_EQ(engine.getFingerprint(id), 0);
    auto reports = endpoint_.reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[0], command({1, 0x05, 0x05}));
    EXPECT_EQ(reports[1],
              command({1, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x12, 0x34}));
    EXPECT_EQ(reports[reports.size() - 2],
              command({1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0x00, 0x00, 0x00, 0x04}));
    EXPECT_EQ(reports.back(),
              command({1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0x00, 0x00, 0x00, 0x04}));
}

// Files of every shape reach memory whole, in data reports of 1024 bytes and a last one of
// what remains; the HAB-mode report may come padded to a full input report.
struct FileCase {
    size_t size;
    uint32_t address;
    bool paddedHab;
    std::vector<size_t> dataReports;
};

class SdpHidFile : public SdpHid, public ::testing::WithParamInterface<FileCase> {
  protected:
    SdpHidFile() : SdpHid({.padHabReport = GetParam().paddedHab}) {}
};

TEST_P(SdpHidFile, LandsInMemoryInWholeReports) {
    const FileCase& c = GetParam();
    SDPLoader engine;
    open(engine);
    const auto file = image(c.size);
    ASSERT_EQ(engine.writeLoader(file, c.address), 0);
    EXPECT_EQ(rom_.memory(c.address, file.size()), file);
    EXPECT_EQ(reportSizesFrom(2), c.dataReports); // after the status and WRITE_FILE commands
}

INSTANTIATE_TEST_SUITE_P(Sizes, SdpHidFile,
                         ::testing::Values(FileCase{0, 0x20000000, false, {}},
                                           FileCase{1, 0x20000000, false, {2}},
                                           FileCase{1024, 0x20000000, false, {1025}},
                                           FileCase{2049, 0x20000000, false, {1025, 1025, 2}},
                                           FileCase{2049, 0x20200003, true, {1025, 1025, 2}},
                                           FileCase{70000, 0x20010000, false, [] {
                                                        std::vector<size_t> sizes(68, 1025);
                                                        sizes.push_back(1 + 70000 - 68 * 1024);
                                                        return sizes;
                                                    }()}));

// A boot ROM that misbehaves ends the write with the engine's code for it. The file is
// larger than a socket holds, so the host's writes wait on the ROM, which has handled the
// command (and any early reply) before it takes the data.
enum class Taken { None, Some, All };

struct FaultCase {
    const char* name;
    sdpsim::RomFaults faults;
    uint32_t address;
    int code;
    size_t commandsSeen; // by the ROM: status requests and the WRITE_FILE
    Taken taken;         // of the file's bytes, by the ROM
};

class SdpHidFault : public SdpHid, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SdpHidFault, EndsTheWriteWithItsCode) {
    const FaultCase& c = GetParam();
    const size_t size = 400000;
    rom_.setFaults(c.faults);
    SDPLoader engine;
    open(engine);
    EXPECT_EQ(engine.writeLoader(image(size), c.address), c.code);
    EXPECT_EQ(rom_.commands().size(), c.commandsSeen);
    switch (c.taken) {
    case Taken::None:
        EXPECT_EQ(rom_.dataBytes(), 0u);
        break;
    case Taken::Some:
        EXPECT_LT(rom_.dataBytes(), size) << "the file went on after the device spoke";
        break;
    case Taken::All: // the ROM may still be taking in the last reports
        EXPECT_TRUE(tftest::eventually([&] { return rom_.dataBytes() == size; }));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SdpHidFault,
    ::testing::Values(
        // Nothing answers: five status requests, and no file is started.
        FaultCase{"Silent", {.silent = true}, 0x20000000, 2, 5, Taken::None},
        // Status reports too short to hold a word are no answer either.
        FaultCase{"ShortStatus", {.statusBytes = 2}, 0x20000000, 2, 5, Taken::None},
        FaultCase{"BadCompletion", {.completion = 0x12345678}, 0x20000000, 4, 2, Taken::All},
        // The ROM refuses a file that does not fit its RAM.
        FaultCase{"OutsideRam", {}, 0x10000000, 4, 2, Taken::All},
        // A reply while the data is still going: the transfer stops before its next report.
        FaultCase{"ReplyDuringFile", {.replyBeforeFileData = true}, 0x20000000, 3, 2, Taken::Some}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SdpHid, FailedDataReportEndsTheFileThere) {
    SDPLoader engine;
    open(engine);
    // The status request, the WRITE_FILE and the first data report go; the second fails.
    fakehid_fail(FAKEHID_WRITE, 3, 1);
    EXPECT_EQ(engine.writeLoader(image(4096), 0x20000000), 4);
    EXPECT_EQ(fakehid_call_count(FAKEHID_WRITE), 4u) << "reports were sent after the failure";
    EXPECT_TRUE(tftest::eventually([&] { return rom_.dataBytes() == 1024; }));
}

TEST_F(SdpHid, FingerprintNeedsBothFuseWords) {
    SDPLoader engine;
    open(engine);
    rom_.setFaults({.silentOn = sdpsim::kReadRegister});
    u64 id = 0;
    EXPECT_EQ(engine.getFingerprint(id), 7);
    EXPECT_EQ(id, 0u);
    rom_.setFaults({.silent = true});
    EXPECT_EQ(engine.getFingerprint(id), 2);
}

TEST_F(SdpHid, FloodingDeviceEndsEveryRead) {
    rom_.setFaults({.flood = true});
    SDPLoader engine;
    open(engine);
    auto code = tftest::finishesWithin(
        std::chrono::seconds(30), [&] { return engine.writeLoader(image(3000), 0x20000000); },
        [&] { rom_.setFaults({.silent = true}); });
    ASSERT_TRUE(code.has_value()) << "a read kept collecting reports";
    // Which error depends on where the flood meets the exchange (mostly data during the
    // file, 3; on a loaded machine a reply that starts inside the flood, 4), never success.
    EXPECT_NE(*code, 0);
}

TEST_F(SdpHid, DeviceThatDoesNotOpenLeavesNothingOpen) {
    struct Case {
        const char* name;
        fakehid_op op;
        uint16_t product;
    };
    for (const Case& c : {Case{"init fails", FAKEHID_INIT, IMX1050::PID},
                          Case{"open fails", FAKEHID_OPEN, IMX1050::PID},
                          Case{"no such device", FAKEHID_OPS, 0x0131}}) {
        SCOPED_TRACE(c.name);
        fakehid_fail(c.op, 0, 1);
        unsigned exitsBefore = fakehid_exit_count();
        {
            SDPLoader engine;
            ASSERT_TRUE(engine.setLoader(new HID_SDPLoader(IMX1050::VID, c.product)));
            EXPECT_EQ(engine.init(), 6);
            EXPECT_EQ(engine.writeLoader(image(10), 0x20000000), 2);
        }
        EXPECT_EQ(fakehid_exit_count(), exitsBefore + 1);
        fakehid_fail(c.op, 0, 0);
    }
    EXPECT_EQ(endpoint_.connections(), 0u);
}

TEST_F(SdpHid, ReadWithoutWaitReturnsWhatIsThereOnly) {
    HID_SDPLoader transport(IMX1050::VID, IMX1050::PID);
    ASSERT_TRUE(transport.init());
    std::vector<unsigned char> reply;
    EXPECT_EQ(transport.readData(reply, 0), 0);
    EXPECT_TRUE(reply.empty());
    ASSERT_EQ(transport.writeData(command({1, 0x05, 0x05})), 17);
    EXPECT_EQ(transport.readData(reply, 1000), 70) << "HAB-mode report (5) and status (65)";
    u32 word = 0;
    EXPECT_TRUE(transport.getDataFromBuffer(reply, 0, word));
    EXPECT_EQ(word, sdpsim::kStatusOk);
}

// A HAB-mode report, then a status report holding status, the whole cut or padded to size.
std::vector<unsigned char> habThenStatus(const std::vector<unsigned char>& status, size_t size) {
    const unsigned char head[] = {3, 0x12, 0x34, 0x34, 0x12, 4};
    std::vector<unsigned char> reply(std::max(size, sizeof head + status.size()), 0);
    std::copy(std::begin(head), std::end(head), reply.begin());
    std::copy(status.begin(), status.end(), reply.begin() + sizeof head);
    reply.resize(size);
    return reply;
}

TEST(SdpHidReply, FindsTheStatusWordAfterTheHabModeReport) {
    std::vector<unsigned char> words(64);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<unsigned char>(i + 1);
    std::vector<unsigned char> statusOnly{4, 0x88, 0x88, 0x88, 0x88};
    statusOnly.resize(65, 0);
    HID_SDPLoader transport(IMX1050::VID, IMX1050::PID);
    sdptest::expectWords(
        transport,
        {
            {"whole reply", habThenStatus({0x88, 0x88, 0x88, 0x88}, 70), 0, true, 0x88888888},
            {"second word", habThenStatus(words, 70), 1, true, 0x08070605},
            {"last word", habThenStatus(words, 70), 15, true, 0x403F3E3D},
            {"index past the report", habThenStatus(words, 70), 16, false, 0},
            {"short status report", habThenStatus({0x88, 0x88, 0x88, 0x88}, 10), 0, true,
             0x88888888},
            {"status cut inside its word", habThenStatus({0x88, 0x88, 0x88}, 9), 0, false, 0},
            {"word beyond a short report", habThenStatus(words, 10), 1, false, 0},
            {"status report only", statusOnly, 0, false, 0},
            {"HAB-mode report only", {3, 0x12, 0x34, 0x34, 0x12}, 0, false, 0},
            {"another report after the HAB mode",
             {3, 0x12, 0x34, 0x34, 0x12, 2, 1, 2, 3, 4},
             0,
             false,
             0},
            {"empty", {}, 0, false, 0},
        });
    u32 word = 0x1;
    ASSERT_TRUE(transport.getDataFromBuffer(habThenStatus({0x00, 0x00, 0x00, 0x80}, 70), 0, word));
    EXPECT_EQ(word, 0x80000001u) << "the word is ORed into what the caller holds";
}

TEST(SdpHidClosed, UnopenedTransportTouchesNoHandle) {
    fakehid_reset();
    HID_SDPLoader transport(IMX1050::VID, IMX1050::PID);
    std::vector<unsigned char> reply;
    EXPECT_EQ(transport.writeData(command({1, 0x05, 0x05})), -1);
    EXPECT_EQ(transport.readData(reply, 0), 0);
    EXPECT_EQ(fakehid_call_count(FAKEHID_WRITE) + fakehid_call_count(FAKEHID_READ), 0u);
    EXPECT_EQ(fakehid_misuse_count(), 0u);
}

} // namespace
