// The Serial Download engine over a serial port: the simulated boot ROM on a pty master,
// the transport on its slave.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "Bounded.h"
#include "Eventually.h"
#include "SdpFixture.h"
#include "SerialEndpoint.h"
#include "Serial_SDPLoader_unix.h"
#include "TempDir.h"

namespace {

using sdptest::command;
using sdptest::image;

size_t openDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator{}));
}

class SdpSerial : public ::testing::Test {
  protected:
    SdpSerial() : rom_(sdptest::awkwardFuses()), endpoint_(rom_) {}
    void open(SDPLoader& engine) {
        ASSERT_TRUE(engine.setLoader(new Serial_SDPLoader(endpoint_.slavePath().c_str())));
        ASSERT_EQ(engine.init(), 0);
    }
    // What the ROM received, once it has all of it.
    std::vector<uint8_t> received(size_t size) {
        EXPECT_TRUE(tftest::eventually([&] { return endpoint_.received().size() >= size; }));
        return endpoint_.received();
    }

    sdpsim::BootRom rom_;
    sdpsim::SerialEndpoint endpoint_;
};

TEST_F(SdpSerial, RecoveryRoadWritesReadsAndJumps) {
    SDPLoader engine;
    open(engine);
    sdptest::expectRecoveryRoad(engine, rom_, 3000);
}

TEST_F(SdpSerial, ReportIdsStayBehindAndFileBytesPassUnaltered) {
    // Every byte value, CR, LF, XON, XOFF and ^C among them, must reach memory as it is.
    const auto file = image(2049);
    SDPLoader engine;
    open(engine);
    ASSERT_EQ(engine.writeLoader(file, 0x20000000), 0);
    EXPECT_EQ(rom_.memory(0x20000000, file.size()), file);

    std::vector<uint8_t> expected;
    for (const auto& report : {command({1, 0x05, 0x05}),
                               command({1, 0x04, 0x04, 0x20, 0, 0, 0, 0x20, 0, 0, 0x08, 0x01})})
        expected.insert(expected.end(), report.begin() + 1, report.end());
    expected.insert(expected.end(), file.begin(), file.end());
    EXPECT_EQ(received(expected.size()), expected);
}

TEST_F(SdpSerial, InitPutsTheLineInRawMode) {
    Serial_SDPLoader transport(endpoint_.slavePath().c_str());
    ASSERT_TRUE(transport.init());
    int fd = ::open(endpoint_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cc[VMIN], 0);
}

TEST_F(SdpSerial, PathIsTheTransportsOwn) {
    std::string path = endpoint_.slavePath();
    Serial_SDPLoader transport(path.c_str());
    path.assign(path.size() + 64, 'x'); // the caller's string changes and moves
    EXPECT_TRUE(transport.init());
}

TEST_F(SdpSerial, WritesEveryByteButTheReportIdAndReadsAfterItsTimeOut) {
    Serial_SDPLoader transport(endpoint_.slavePath().c_str());
    ASSERT_TRUE(transport.init());
    rom_.setFaults({.stopReadingOnFile = true});
    std::vector<unsigned char> data(1025, 0x5A);
    data[0] = 2;
    ASSERT_EQ(transport.writeData(command({1, 0x05, 0x05})), 16);

    std::vector<unsigned char> reply;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transport.readData(reply, 100), 8) << "HAB-mode word and status word";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    u32 word = 0;
    EXPECT_TRUE(transport.getDataFromBuffer(reply, 0, word));
    EXPECT_EQ(word, sdpsim::kStatusOk);

    // Without a file under way the ROM takes these bytes as commands; only their count matters.
    EXPECT_EQ(transport.writeData(data), 1024);
    EXPECT_EQ(received(16 + 1024).size(), 16u + 1024u);
}

TEST(SdpSerialReply, FindsTheWordAfterTheHabModeWord) {
    const std::vector<unsigned char> twoWords{0x12, 0x34, 0x34, 0x12, 0x88, 0x88,
                                              0x88, 0x88, 0x01, 0x02, 0x03, 0x04};
    Serial_SDPLoader transport("/nonexistent");
    sdptest::expectWords(
        transport,
        {
            {"status word", {0x12, 0x34, 0x34, 0x12, 0x88, 0x88, 0x88, 0x88}, 0, true, 0x88888888},
            {"seven bytes", {0x12, 0x34, 0x34, 0x12, 0x88, 0x88, 0x88}, 0, false, 0},
            {"second word", twoWords, 1, true, 0x04030201},
            {"second word cut", {twoWords.begin(), twoWords.end() - 1}, 1, false, 0},
            {"index past the words", std::vector<unsigned char>(80, 0x11), 16, false, 0},
            {"empty", {}, 0, false, 0},
        });
}

// A port that cannot be opened as a terminal leaves no descriptor behind, and the
// transport's reads and writes then touch none.
TEST(SdpSerialPort, InitRefusesWhatIsNotATerminal) {
    tftest::TempDir dir;
    const std::string plain = dir.write("plain", "not a tty");
    for (const std::string& path :
         {std::string("/nonexistent/tty"), plain, dir.path().string(), std::string()}) {
        SCOPED_TRACE(path);
        const size_t before = openDescriptors();
        Serial_SDPLoader transport(path.c_str());
        EXPECT_FALSE(transport.init());
        EXPECT_EQ(openDescriptors(), before) << "a refused port stayed open";
        std::vector<unsigned char> reply;
        EXPECT_EQ(transport.writeData(command({1, 0x05, 0x05})), -1);
        EXPECT_EQ(transport.readData(reply, 0), 0);
    }
    SDPLoader engine;
    ASSERT_TRUE(engine.setLoader(new Serial_SDPLoader(nullptr)));
    EXPECT_EQ(engine.init(), 6);
}

// Descriptor 0 is a port like any other: a process without standard input gets it for the
// port, and the transport must still close it.
TEST_F(SdpSerial, PortOnDescriptorZeroIsClosed) {
    int savedInput = dup(STDIN_FILENO);
    ASSERT_GE(savedInput, 0);
    close(STDIN_FILENO);
    bool opened = false;
    {
        Serial_SDPLoader transport(endpoint_.slavePath().c_str());
        opened = transport.init();
        EXPECT_NE(fcntl(STDIN_FILENO, F_GETFD), -1);
    }
    const bool closed = fcntl(STDIN_FILENO, F_GETFD) == -1;
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(closed) << "the port on descriptor 0 was left open";
}

// A boot ROM that misbehaves on the serial line ends the write with the engine's code for
// it, never a hang: a ROM that stops reading leaves the host's writes with nowhere to go.
TEST_F(SdpSerial, FaultsEndTheWriteWithTheirCode) {
    struct Case {
        const char* name;
        sdpsim::RomFaults faults;
        size_t size;
        int code;
    };
    for (const Case& c : {Case{"silent", {.silent = true}, 100, 2},
                          Case{"bad completion", {.completion = 0x12345678}, 100, 4},
                          Case{"short status", {.statusBytes = 3}, 100, 2},
                          Case{"stops reading", {.stopReadingOnFile = true}, 400000, 4}}) {
        SCOPED_TRACE(c.name);
        rom_.setFaults(c.faults);
        SDPLoader engine;
        open(engine);
        auto code = tftest::finishesWithin(
            std::chrono::seconds(60), [&] { return engine.writeLoader(image(c.size), 0x20000000); },
            [&] { rom_.setFaults({}); });
        ASSERT_TRUE(code.has_value()) << "the write did not end";
        EXPECT_EQ(*code, c.code);
    }
}

} // namespace
