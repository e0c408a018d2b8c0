// The plain serial stream over a real pseudo-terminal: the line settings it applies and
// restores, bytes both ways, hang-ups, stalled peers and the arguments it refuses.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "Bounded.h"
#include "PtyPair.h"
#include "TempDir.h"
#include "Holders.h"
#include "aStream.h"
#include "aStream_Serial.h"

using tftest::Bytes;
using tftest::PtyPair;
using namespace std::chrono_literals;

namespace {

// The pty driver forces 8 data bits and no parity whatever it is asked, so what the stream
// asks for is caught on its way into the C library.
std::mutex appliedLock;
termios lastApplied{};

} // namespace

extern "C" int tcsetattr(int fd, int action, const struct termios* attributes) noexcept {
    using Real = int (*)(int, int, const struct termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    {
        std::lock_guard<std::mutex> hold(appliedLock);
        lastApplied = *attributes;
    }
    return real(fd, action, attributes);
}

namespace {

termios applied() {
    std::lock_guard<std::mutex> hold(appliedLock);
    return lastApplied;
}

using tftest::StreamPtr;

StreamPtr openPlain(const PtyPair& pty, uint32_t baudIndex = 6) {
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateSerial(pty.slave().c_str(), baudIndex, 0, 0, 0, &stream), aErrNone);
    return StreamPtr(stream);
}

// Reads count bytes, retrying not-ready reads for up to two seconds.
Bytes readBytes(aStream* stream, size_t count) {
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        uint8_t byte = 0;
        aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone)
            got.push_back(byte);
        else if (err == aErrNotReady)
            std::this_thread::sleep_for(1ms);
        else
            break;
    }
    return got;
}

using Create = aErr (*)(const char*, uint32_t, uint8_t, uint32_t, uint32_t, aStream**);
const struct {
    const char* name;
    Create create;
} kConstructors[] = {
    {"plain", aStream_CreateSerial},
    {"packetized", aStream_CreateSerial_Packetized},
};

} // namespace

TEST(SerialStream, ConfiguresTheLineRawAsAsked) {
    const struct {
        uint32_t baudIndex;
        uint8_t parity;
        uint32_t dataBits, stopBits;
        speed_t speed;
    } cases[] = {
        {0, 0, 0, 0, B2400},   {2, 1, 0, 0, B9600},   {5, 0, 1, 1, B57600},
        {6, 0, 0, 0, B115200}, {7, 7, 1, 0, B230400}, {4, 0, 0, 1, B38400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.baudIndex << " parity " << int(c.parity)
                                        << " data " << c.dataBits << " stop " << c.stopBits);
        PtyPair pty;
        aStream* stream = nullptr;
        ASSERT_EQ(aStream_CreateSerial(pty.slave().c_str(), c.baudIndex, c.parity, c.dataBits,
                                       c.stopBits, &stream),
                  aErrNone);
        const termios asked = applied();
        EXPECT_EQ(asked.c_cflag & CSIZE, c.dataBits == 0 ? tcflag_t{CS8} : tcflag_t{CS7});
        EXPECT_EQ((asked.c_cflag & PARENB) != 0, c.parity != 0);
        EXPECT_EQ(asked.c_cflag & PARODD, 0u) << "parity is even";

        const termios line = pty.attributes();
        EXPECT_EQ(cfgetispeed(&line), c.speed);
        EXPECT_EQ(cfgetospeed(&line), c.speed);
        EXPECT_EQ(line.c_iflag, c.parity ? tcflag_t{IGNBRK | IGNPAR} : tcflag_t{IGNBRK});
        EXPECT_EQ(line.c_oflag, 0u);
        EXPECT_EQ(line.c_lflag, 0u);
        EXPECT_EQ((line.c_cflag & CSTOPB) != 0, c.stopBits == 1);
        EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL), tcflag_t{CREAD | CLOCAL});
        EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(line.c_cc[VMIN], 0);
        EXPECT_EQ(line.c_cc[VTIME], 0);
        aStream_Destroy(&stream);
    }
}

// A cooked line before, the same cooked line after: the next user of the port (a shell,
// a terminal program) must not inherit raw mode.
TEST(SerialStream, DestroyRestoresTheSettingsAndClosesThePort) {
    for (const auto& constructor : kConstructors) {
        SCOPED_TRACE(constructor.name);
        PtyPair pty;
        termios before = pty.attributes();
        before.c_lflag |= ICANON | ECHO | ISIG;
        before.c_oflag |= OPOST | ONLCR;
        before.c_cc[VMIN] = 1;
        cfsetispeed(&before, B4800);
        cfsetospeed(&before, B4800);
        pty.setAttributes(before);
        before = pty.attributes();

        size_t descriptors = tftest::openDescriptors();
        aStream* stream = nullptr;
        ASSERT_EQ(constructor.create(pty.slave().c_str(), 6, 0, 0, 0, &stream), aErrNone);
        const termios during = pty.attributes();
        EXPECT_EQ(cfgetospeed(&during), B115200);
        EXPECT_EQ(during.c_lflag, 0u);

        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        EXPECT_EQ(stream, nullptr);
        const termios after = pty.attributes();
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(cfgetospeed(&after), B4800);
        EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof(after.c_cc)), 0);
        EXPECT_EQ(tftest::openDescriptors(), descriptors);
    }
}

TEST(SerialStream, CarriesBytesBothWaysUnchanged) {
    PtyPair pty;
    StreamPtr stream = openPlain(pty);
    ASSERT_TRUE(stream);

    Bytes all(256);
    for (size_t i = 0; i < all.size(); i++)
        all[i] = static_cast<uint8_t>(i);
    pty.send(all);
    EXPECT_EQ(readBytes(stream.get(), all.size()), all) << "no byte mapped or swallowed";

    ASSERT_EQ(aStream_Write(stream.get(), all.data(), all.size()), aErrNone);
    EXPECT_EQ(pty.receive(all.size(), 2s), all);
    const uint8_t one = 0x0D;
    ASSERT_EQ(aStream_Write(stream.get(), &one, 1), aErrNone);
    EXPECT_EQ(pty.receive(1, 2s), Bytes{0x0D});
}

// The kernel takes a block this size in pieces; each piece must follow the last.
TEST(SerialStream, WritesALargeBlockWhole) {
    PtyPair pty;
    StreamPtr stream = openPlain(pty, 7);
    ASSERT_TRUE(stream);
    Bytes block(200000);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<uint8_t>(i * 131 + i / 256);

    Bytes received;
    std::thread farSide([&] { received = pty.receive(block.size(), 20s); });
    EXPECT_EQ(aStream_Write(stream.get(), block.data(), block.size()), aErrNone);
    farSide.join();
    EXPECT_EQ(received.size(), block.size());
    EXPECT_TRUE(received == block);
}

TEST(SerialStream, ReadsWithoutWaiting) {
    PtyPair pty;
    StreamPtr stream = openPlain(pty);
    ASSERT_TRUE(stream);
    uint8_t byte = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "20 reads must not wait 100 ms each";
}

// After a hang-up the port reads nothing, like an idle one; it must not look idle.
TEST(SerialStream, ReportsAHangUpAsAnError) {
    PtyPair pty;
    StreamPtr stream = openPlain(pty);
    ASSERT_TRUE(stream);
    pty.closeMaster();
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrIO);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(aStream_Write(stream.get(), data, sizeof(data)), aErrIO);
}

// A far side that stops reading fills the line; the writer gives up instead of hanging.
TEST(SerialStream, WriteToAStalledPeerFails) {
    PtyPair pty;
    StreamPtr stream = openPlain(pty, 7);
    ASSERT_TRUE(stream);
    Bytes block(256 * 1024, 0x55);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Write(stream.get(), block.data(), block.size()), aErrIO);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms)
        << "a full buffer is not a failure by itself";
}

// Without flow control the bytes leave whatever the far side does, so the drain that ends
// a write never waits for a peer that does not read.
TEST(SerialStream, DrainDoesNotWaitForAPeerThatDoesNotRead) {
    PtyPair pty;
    StreamPtr stream = openPlain(pty);
    ASSERT_TRUE(stream);
    const Bytes block(1000, 0x55);
    auto written = tftest::finishesWithin(
        10s, [&] { return aStream_Write(stream.get(), block.data(), block.size()); },
        [&] { pty.closeMaster(); }); // a hang-up wakes a waiting drain
    ASSERT_TRUE(written) << "the write waited for the peer";
    EXPECT_EQ(*written, aErrNone);
}

TEST(SerialStream, RefusesBadArgumentsAndLeavesNothingOpen) {
    PtyPair pty;
    tftest::TempDir dir;
    const std::string plainFile = dir.write("not-a-tty", "x");
    const std::string missing = dir / "ttyMissing";
    std::string tooLong = "/";
    while (tooLong.size() < aSERIAL_PORT_NAME_SIZE)
        tooLong += "abcdefg/";
    tooLong.resize(aSERIAL_PORT_NAME_SIZE);
    std::string longest = tooLong.substr(0, aSERIAL_PORT_NAME_SIZE - 1);
    const termios untouched = pty.attributes();

    const struct {
        const char* name;
        const char* port;
        uint32_t baudIndex, dataBits, stopBits;
        bool out;
        aErr result;
    } cases[] = {
        {"no port name", nullptr, 6, 0, 0, true, aErrResource},
        {"no out pointer", pty.slave().c_str(), 6, 0, 0, false, aErrResource},
        {"data bits selector 2", pty.slave().c_str(), 6, 2, 0, true, aErrResource},
        {"stop bits selector 2", pty.slave().c_str(), 6, 0, 2, true, aErrResource},
        {"baud index 8 would hang the line up", pty.slave().c_str(), 8, 0, 0, true, aErrParam},
        {"baud index far out", pty.slave().c_str(), 0xFFFFFFFFu, 0, 0, true, aErrParam},
        {"name that does not fit", tooLong.c_str(), 6, 0, 0, true, aErrFileNameLength},
        {"longest name that fits reaches the open", longest.c_str(), 6, 0, 0, true, aErrNotFound},
        {"missing device", missing.c_str(), 6, 0, 0, true, aErrNotFound},
        {"plain file", plainFile.c_str(), 6, 0, 0, true, aErrIO},
        {"device without termios", "/dev/null", 6, 0, 0, true, aErrIO},
    };
    for (const auto& constructor : kConstructors) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << constructor.name << ": " << c.name);
            size_t descriptors = tftest::openDescriptors();
            aStream* stream = reinterpret_cast<aStream*>(0x1);
            EXPECT_EQ(constructor.create(c.port, c.baudIndex, 0, c.dataBits, c.stopBits,
                                         c.out ? &stream : nullptr),
                      c.result);
            if (c.out) {
                EXPECT_EQ(stream, nullptr);
            }
            EXPECT_EQ(tftest::openDescriptors(), descriptors);
        }
    }
    const termios now = pty.attributes();
    EXPECT_EQ(cfgetospeed(&now), cfgetospeed(&untouched)) << "a refused call configures nothing";
    EXPECT_EQ(now.c_lflag, untouched.c_lflag);
}

TEST(SerialStream, RefusesAPortWithoutPermission) {
    TF_REQUIRE_ROOT();
    PtyPair pty;
    for (const auto& constructor : kConstructors) {
        SCOPED_TRACE(constructor.name);
        Create create = constructor.create;
        const std::string port = pty.slave();
        int result = tftest::runUnprivileged([&] {
            aStream* stream = nullptr;
            return static_cast<int>(create(port.c_str(), 6, 0, 0, 0, &stream));
        });
        EXPECT_EQ(result, static_cast<int>(aErrPermission));
    }
}
