// The LPC In-System Programming client: its encodings and tables, and its conversation with a
// simulated boot ROM that misbehaves in the ways a real one on a real line can.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "LpcFixture.h"
#include "PtyPair.h"
#include "aError.h"

namespace {

using tftest::LpcFixture;
using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    return b;
}

TEST(NXPSerialCodec, UuencodesAndDecodesPublishedLines) {
    struct Case {
        Bytes bytes;
        std::string line;
    };
    Bytes full = pattern(45, 3);
    const Case cases[] = {
        {{0, 0, 0}, "#````"},
        {{'C', 'a', 't'}, "#0V%T"},
        {{0xFF}, "!_P``"},
    };
    for (const Case& c : cases) {
        char out[64];
        EXPECT_EQ(
            NXPSerialClass::uuencode(out, c.bytes.data(), static_cast<uint32_t>(c.bytes.size())),
            c.bytes.size());
        EXPECT_STREQ(out, c.line.c_str());
        Bytes back(c.bytes.size() + 4, 0xAA);
        EXPECT_EQ(NXPSerialClass::uudecode(back.data(), static_cast<uint32_t>(back.size()),
                                           (c.line + "\r\n").c_str()),
                  c.bytes.size());
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), back.begin())) << c.line;
        EXPECT_EQ(back[c.bytes.size()], 0xAA) << "stored past the line's count";
    }
    char out[64];
    NXPSerialClass::uuencode(out, full.data(), 45);
    EXPECT_EQ(out[0], 'M');
    EXPECT_EQ(strlen(out), 61u);
    Bytes back(45);
    EXPECT_EQ(NXPSerialClass::uudecode(back.data(), 45, out), 45u);
    EXPECT_EQ(back, full);
}

TEST(NXPSerialCodec, UudecodeRefusesWhatDoesNotFitOrIsCutShort) {
    Bytes data = pattern(45, 9);
    char line[64];
    NXPSerialClass::uuencode(line, data.data(), 45);
    Bytes out(45, 0xAA);
    EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 44, line), 0u);
    EXPECT_EQ(out, Bytes(45, 0xAA)) << "stored although the capacity was too small";
    std::string cut = std::string(line, 30) + "\r\n";
    EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 45, cut.c_str()), 0u)
        << "a line cut short must not pass for whole";
    EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 45, ""), 0u);
}

TEST(NXPSerialTables, CopyLengthsSectorsAndErrorTexts) {
    const std::pair<uint32_t, uint32_t> copies[] = {
        {1, 256}, {256, 256}, {257, 512}, {1000, 1024}, {1808, 4096}, {4096, 4096}, {5000, 5000}};
    for (auto [count, length] : copies)
        EXPECT_EQ(NXPSerialClass::CopyLength(count), length) << count;

    const std::pair<uint32_t, uint32_t> sectors[] = {
        {0x0000, 0},   {0x0FFF, 0},   {0x1000, 1},   {0xFFFF, 15},  {0x10000, 16},
        {0x17FFF, 16}, {0x18000, 17}, {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30}};
    for (auto [address, sector] : sectors)
        EXPECT_EQ(NXPSerialClass::SectorFromAddress(address), sector) << std::hex << address;

    const std::pair<const char*, const char*> texts[] = {
        {"0\r\n", "CMD_SUCCESS"},
        {"9\r\n", "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"},
        {"19\r\n", "CODE_READ_PROTECTION_ENABLED"},
        {"42\r\n", "Unknown error"},
        {"-1\r\n", "Unknown error"},
        {"x\r\n", "Unknown error"}};
    for (auto [line, text] : texts)
        EXPECT_STREQ(NXPSerialClass::GetErrorText(line), text) << line;
}

// A line that never stops carrying bytes a wait passes over (blank line ends, NULs, stray
// echo) must still end the wait: its deadline only counts while the line is quiet.
TEST(NXPSerialFlood, WaitsEndOnALineThatNeverStops) {
    struct Case {
        const char* name;
        char flood;
        std::function<int(NXPSerialClass&)> wait;
    };
    const Case cases[] = {
        {"a line of LFs", '\n',
         [](NXPSerialClass& c) {
             char line[32];
             uint64_t length = 0;
             return c.GetLine(line, sizeof line, &length, 200);
         }},
        {"a reply of CRs", '\r',
         [](NXPSerialClass& c) {
             char reply[32];
             uint64_t length = 0;
             return c.Response(reply, sizeof reply, &length, "OK\r\n", 4);
         }},
        {"an echo of other bytes", 'x',
         [](NXPSerialClass& c) {
             uint64_t matched = 0;
             return c.GetEcho("J\r", 2, &matched, 200);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tftest::PtyPair pty;
        NXPSerialClass client;
        ASSERT_EQ(client.Connect(pty.slave().c_str(), 115200), 0);
        std::atomic<bool> stop{false};
        // The line's buffer is kept full: the reader never finds it quiet.
        ASSERT_EQ(fcntl(pty.master(), F_SETFL, fcntl(pty.master(), F_GETFL) | O_NONBLOCK), 0);
        std::thread flood([&] {
            const std::string bytes(256, c.flood);
            while (!stop) {
                if (write(pty.master(), bytes.data(), bytes.size()) >= 0) continue;
                if (errno != EAGAIN) break;
                std::this_thread::yield();
            }
        });
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(c.wait(client), aErrIO) << "given up on the flood, not on a quiet line";
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
        stop = true;
        flood.join();
        client.Disconnect();
    }
}

TEST_F(LpcFixture, ConnectChoosesTheFirstTableRateNotBelowTheRequest) {
    const std::pair<uint32_t, uint32_t> rates[] = {
        {115200, 115200}, {100000, 115200}, {0, 2400}, {500000, 9600}};
    for (auto [requested, rate] : rates) {
        start({}, {}, requested);
        EXPECT_EQ(client.baud, rate);
        ASSERT_EQ(client.Sync(), 0) << requested;
        EXPECT_EQ(chip([](lpcsim::Chip& c) { return c.lockedRate(); }), rate);
    }
}

TEST_F(LpcFixture, ConnectReopensAndReportsThePortsFailure) {
    start();
    size_t open = tftest::openDescriptors();
    ASSERT_EQ(client.Connect(sim->slavePath().c_str(), 115200), 0);
    EXPECT_EQ(tftest::openDescriptors(), open) << "the first port stayed open";
    EXPECT_EQ(client.Connect("/dev/no-such-port", 115200), aErrNotFound);
    EXPECT_EQ(tftest::openDescriptors(), open - 1);
    EXPECT_EQ(client.Sync(), aErrConnection);
}

// Noise ahead of a reply line is not taken for part of its return code.
TEST_F(LpcFixture, NoiseBeforeAReplyLeavesItsCodeAlone) {
    for (bool echoOn : {true, false}) {
        startSynced();
        if (!echoOn) {
            ASSERT_EQ(client.SetEcho(false), 0);
        }
        chip([](lpcsim::Chip& c) { c.faults().noisyReplies = 1; });
        EXPECT_EQ(client.Prepare(0, 1), 0) << echoOn;
        chip([](lpcsim::Chip& c) {
            c.faults().noisyReplies = 1;
            c.faults().returnCode = {{'P', 10}};
        });
        EXPECT_EQ(client.Prepare(0, 1), aErrParam) << echoOn;
    }
}

TEST_F(LpcFixture, ReadsTheFingerprintAndIdentityOfTheChip) {
    lpcsim::Identity id;
    id.serial = {1, 0xFFFFFFFF, 0x80000000, 77};
    id.partId = 0x26113F37;
    start({}, id);
    ASSERT_EQ(client.Sync(), 0);
    EXPECT_EQ(chip([](lpcsim::Chip& c) { return c.handshake(); }), "?Synchronized\r\n14746\r\n");
    ASSERT_EQ(client.GetDeviceID(), 0);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(client.deviceId[i], id.serial[static_cast<size_t>(i)]) << i;
    long part = 0;
    ASSERT_EQ(client.GetPartNumber(&part), 0);
    EXPECT_EQ(part, 0x26113F37);
    uint8_t major = 0, minor = 0;
    ASSERT_EQ(client.GetBootLoaderVersion(&major, &minor), 0);
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(commands(), (std::vector<std::string>{"N", "J", "K"}));
}

TEST_F(LpcFixture, SyncCopesWithNoiseAndAChipThatIsAlreadySynced) {
    struct Case {
        const char* name;
        lpcsim::Faults faults;
        bool echoAfter;
    };
    const Case cases[] = {
        {"noise before the first answer", {.noisyReplies = 1}, true},
        {"noise before the handshake's OK", {.noisyWords = true}, true},
        {"synced, echo on", {.alreadySynced = true}, true},
        {"synced, echo off", {.alreadySynced = true, .startEchoOff = true}, false},
        {"lines end at CR", {.crEndsLines = true}, true},
        {"synced, echo on, lines end at CR", {.alreadySynced = true, .crEndsLines = true}, true},
        {"synced, echo off, lines end at CR",
         {.alreadySynced = true, .startEchoOff = true, .crEndsLines = true},
         false},
    };
    for (const Case& c : cases) {
        start(c.faults);
        client.echo = true;
        ASSERT_EQ(client.Sync(), 0) << c.name;
        EXPECT_EQ(client.echo, c.echoAfter) << c.name;
        // The chip answers commands afterwards: the session is really usable.
        ASSERT_EQ(client.GetDeviceID(), 0) << c.name;
        EXPECT_EQ(client.deviceId[0], lpcsim::Identity{}.serial[0]) << c.name;
        ASSERT_EQ(client.Prepare(0, 1), 0) << c.name;
    }
}

TEST_F(LpcFixture, SyncFailsOnASilentChipWithoutReportingAFingerprint) {
    start({.silent = true});
    EXPECT_NE(client.Sync(), 0);
    EXPECT_NE(client.GetDeviceID(), 0);
    EXPECT_EQ(client.deviceId[0] | client.deviceId[1] | client.deviceId[2] | client.deviceId[3],
              0u);
}

// The serial-number words are numbers in C's notation: decimal as chips print them, or hex.
TEST_F(LpcFixture, ReadsSerialNumberWordsInHex) {
    start({.hexSerial = true});
    ASSERT_EQ(client.Sync(), 0);
    ASSERT_EQ(client.GetDeviceID(), 0);
    for (size_t i = 0; i < 4; i++)
        EXPECT_EQ(client.deviceId[i], lpcsim::Identity{}.serial[i]) << i;
}

TEST_F(LpcFixture, NeverReportsABogusFingerprint) {
    struct Case {
        const char* name;
        lpcsim::Faults faults;
        lpcsim::Identity id;
        int result;
    };
    lpcsim::Identity zero;
    zero.serial = {0, 0, 0, 0};
    const Case cases[] = {
        {"refused", {.returnCode = {{'N', 19}}}, {}, aErrParam},
        {"unanswered", {.silentOn = {'N'}}, {}, aErrTimeout},
        {"all zero", {}, zero, aErrParse},
    };
    for (const Case& c : cases) {
        start(c.faults, c.id);
        ASSERT_EQ(client.Sync(), 0) << c.name;
        EXPECT_EQ(client.GetDeviceID(), c.result) << c.name;
        EXPECT_EQ(client.deviceId[0] | client.deviceId[1] | client.deviceId[2] | client.deviceId[3],
                  0u)
            << c.name;
    }
}

// Every command judges its return code, whichever echo state the chip is in.
TEST_F(LpcFixture, CommandsJudgeTheirReturnCodes) {
    Bytes data = pattern(256, 1);
    struct Op {
        char letter;
        std::function<int(NXPSerialClass&)> run;
    };
    const Op ops[] = {
        {'U', [](NXPSerialClass& c) { return c.Unlock(); }},
        {'P', [](NXPSerialClass& c) { return c.Prepare(0, 29); }},
        {'E', [](NXPSerialClass& c) { return c.Erase(3, 4); }},
        {'B', [](NXPSerialClass& c) { return c.SetBaudRate(115200); }},
        {'C', [](NXPSerialClass& c) { return c.CopyToFlash(0x1000, 0x10001000, 256); }},
        {'W', [&](NXPSerialClass& c) { return c.Write(0x10001000, 256, data.data()); }},
        {'R', [&](NXPSerialClass& c) { return c.Read(0x10001000, 256, data.data()); }},
    };
    const std::pair<int, int> codes[] = {
        {0, aErrNone}, {10, aErrParam}, {19, aErrParam}, {9, aErrParam}, {1, aErrParam}};
    for (bool echoOn : {true, false}) {
        startSynced();
        if (!echoOn) {
            ASSERT_EQ(client.SetEcho(false), 0);
        }
        ASSERT_EQ(client.echo, echoOn);
        for (const Op& op : ops) {
            for (auto [code, result] : codes) {
                if (code == 0 && (op.letter == 'W' || op.letter == 'R')) continue; // data follows
                chip([&](lpcsim::Chip& c) { c.faults().returnCode = {{op.letter, code}}; });
                EXPECT_EQ(op.run(client), result)
                    << op.letter << " answered " << code << " echo " << echoOn;
            }
            chip([&](lpcsim::Chip& c) { c.faults().returnCode.clear(); });
            chip([&](lpcsim::Chip& c) { c.faults().silentOn = {op.letter}; });
            EXPECT_EQ(op.run(client), aErrTimeout) << op.letter << " unanswered";
            chip([&](lpcsim::Chip& c) { c.faults().silentOn.clear(); });
            // Nothing of the failed exchange is left to confuse the next one.
            EXPECT_EQ(client.Prepare(1, 2), 0) << "after " << op.letter;
        }
    }
}

TEST_F(LpcFixture, SetEchoChangesTheStateOnlyWhenTheChipAgrees) {
    startSynced({.returnCode = {{'A', 1}}});
    EXPECT_EQ(client.SetEcho(false), aErrParam);
    EXPECT_TRUE(client.echo);
    chip([](lpcsim::Chip& c) { c.faults().returnCode.clear(); });
    EXPECT_EQ(client.SetEcho(false), 0);
    EXPECT_FALSE(client.echo);
    EXPECT_FALSE(chip([](lpcsim::Chip& c) { return c.echo(); }));
    EXPECT_EQ(client.SetEcho(true), 0);
    EXPECT_TRUE(chip([](lpcsim::Chip& c) { return c.echo(); }));
    EXPECT_EQ(commands(), (std::vector<std::string>{"A 0", "A 0", "A 1"}));
}

TEST_F(LpcFixture, RefusedArgumentsSendNothing) {
    startSynced();
    uint8_t data[8] = {};
    EXPECT_EQ(client.Prepare(5, 3), aErrParam);
    EXPECT_EQ(client.Erase(5, 3), aErrParam);
    EXPECT_EQ(client.CopyToFlash(0x1080, 0x10001000, 4096), aErrParam);
    EXPECT_EQ(client.CopyToFlash(0x1000, 0x10001000, 2048), aErrParam);
    EXPECT_EQ(client.Write(0x10001000, 0, data), aErrParam);
    EXPECT_EQ(client.Write(0x10001000, 6, data), aErrParam);
    EXPECT_EQ(client.Read(0x10001000, 3, data), aErrParam);
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(client.CopyToFlash(0x1000, 0x10001000, 4096), aErrParam) << "not prepared";
    EXPECT_EQ(commands(), std::vector<std::string>{"C 4096 268439552 4096"});
}

// Erasing all sectors takes a real chip seconds; the wait ends when the answer comes.
TEST_F(LpcFixture, EraseWaitsAsLongAsTheChipTakes) {
    startSynced({.eraseMsPerSector = 30});
    chip([](lpcsim::Chip& c) { std::fill(c.flashForTest().begin(), c.flashForTest().end(), 0); });
    ASSERT_EQ(client.Unlock(), 0);
    ASSERT_EQ(client.Prepare(0, 29), 0);
    ASSERT_EQ(client.Erase(0, 29), 0);
    EXPECT_EQ(chip([](lpcsim::Chip& c) { return c.flash(); }), Bytes(lpcsim::kFlashSize, 0xFF));
    EXPECT_EQ(client.Prepare(0, 0), 0) << "the erase's answer was read in full";
}

TEST_F(LpcFixture, WritesAndReadsBlocksWithEchoOnAndOff) {
    // Two blocks: 20 lines of 45 bytes, then a short one.
    Bytes data = pattern(1000, 5);
    for (bool echoOn : {true, false}) {
        startSynced();
        if (!echoOn) {
            ASSERT_EQ(client.SetEcho(false), 0);
        }
        ASSERT_EQ(client.Write(0x10001000, 1000, data.data()), 0) << echoOn;
        Bytes ram = chip([](lpcsim::Chip& c) { return c.ram(); });
        EXPECT_TRUE(std::equal(data.begin(), data.end(), ram.begin() + 0x1000)) << echoOn;
        EXPECT_EQ(chip([](lpcsim::Chip& c) { return c.writeBlocksAccepted(); }), 2);

        Bytes back(1000);
        ASSERT_EQ(client.Read(0x10001000, 1000, back.data()), 0) << echoOn;
        EXPECT_EQ(back, data) << echoOn;
        EXPECT_EQ(chip([](lpcsim::Chip& c) { return c.readBlocksSent(); }), 2)
            << "a clean line needed resends, echo " << echoOn;
        // The next command's answer is still there to read.
        EXPECT_EQ(client.Prepare(2, 3), 0) << echoOn;
        EXPECT_EQ(commands().back(), "P 2 3");
    }
}

// Line noise ahead of the chip's word for a block's checksum leaves the word alone.
TEST_F(LpcFixture, NoiseBeforeTheChecksumAnswerLeavesItAlone) {
    const Bytes data = pattern(1000, 9);
    startSynced({.resendTimes = 1, .noisyWords = true});
    ASSERT_EQ(client.Write(0x10001000, 1000, data.data()), 0);
    Bytes ram = chip([](lpcsim::Chip& c) { return c.ram(); });
    EXPECT_TRUE(std::equal(data.begin(), data.end(), ram.begin() + 0x1000));
    EXPECT_EQ(chip([](lpcsim::Chip& c) { return c.writeBlocksAccepted(); }), 2);
}

TEST_F(LpcFixture, BlockTransfersRetryThenGiveUp) {
    Bytes data = pattern(904, 2);
    struct Case {
        const char* name;
        lpcsim::Faults faults;
        bool write;
        int result;
    };
    const Case cases[] = {
        {"write resent twice", {.resendTimes = 2}, true, aErrNone},
        {"write resent three times", {.resendTimes = 3}, true, aErrTimeout},
        {"write checksum answered oddly", {.badChecksumAnswers = 1}, true, aErrIO},
        {"read checksum wrong twice", {.badReadChecksums = 2}, false, aErrNone},
        {"read checksum wrong three times", {.badReadChecksums = 3}, false, aErrTimeout},
    };
    for (const Case& c : cases) {
        startSynced(c.faults);
        ASSERT_EQ(client.Write(0x10001000, 904, data.data()), c.write ? c.result : 0) << c.name;
        if (c.write) continue;
        Bytes back(904);
        EXPECT_EQ(client.Read(0x10001000, 904, back.data()), c.result) << c.name;
        if (c.result == aErrNone) {
            EXPECT_EQ(back, data) << c.name;
        }
    }
}

// A boot ROM measures the rate once, at the "?": a port reopened at another rate is not
// understood, while the chip's own baud command moves both ends together.
TEST_F(LpcFixture, TheChipKeepsTheRateItSyncedAt) {
    start({}, {}, 9600);
    ASSERT_EQ(client.Sync(), 0);
    ASSERT_EQ(client.Connect(sim->slavePath().c_str(), 115200), 0);
    EXPECT_EQ(client.GetDeviceID(), aErrTimeout);
    EXPECT_GT(chip([](lpcsim::Chip& c) { return c.garbledBytes(); }), 0u);

    ASSERT_EQ(client.Connect(sim->slavePath().c_str(), 9600), 0);
    ASSERT_EQ(client.SetBaudRate(57600), 0);
    ASSERT_EQ(client.Connect(sim->slavePath().c_str(), 57600), 0);
    EXPECT_EQ(client.GetDeviceID(), 0);
    EXPECT_EQ(chip([](lpcsim::Chip& c) { return c.lockedRate(); }), 57600u);
}

} // namespace
