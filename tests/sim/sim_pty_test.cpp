// The module simulator on a serial line: its frame codec, and a pty driven as
// a host would drive its serial port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "tfsim/Cobs.h"
#include "tfsim/Module.h"
#include "sim_test_support.h"

namespace {

using namespace simtest;
using F = tfsim::FramingFault;
namespace cobs = tfsim::cobs;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes zeroed(Bytes b, size_t at) {
    b.at(at) = 0;
    return b;
}

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

// The host's end of the line: the slave opened as a serial port, raw.
class SerialClient {
  public:
    explicit SerialClient(const std::string& path, bool makeRaw = true) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        openErrno_ = fd_ < 0 ? errno : 0;
        if (fd_ < 0) return;
        if (makeRaw) {
            termios t{};
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~SerialClient() { closeHere(); }
    SerialClient(const SerialClient&) = delete;
    SerialClient& operator=(const SerialClient&) = delete;

    bool opened() const { return fd_ >= 0; }
    int openErrno() const { return openErrno_; }
    int fd() const { return fd_; }
    void closeHere() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void write(const Bytes& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            ASSERT_GT(n, 0) << "write: " << std::strerror(errno);
            done += static_cast<size_t>(n);
        }
    }

    // Up to n bytes, or up to and with the first delimiter when `frame`.
    Bytes read(size_t n, milliseconds timeout, bool frame = false) {
        Bytes out;
        const auto deadline = Clock::now() + timeout;
        while (out.size() < n && !(frame && !out.empty() && out.back() == 0)) {
            auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            if (p.revents & (POLLHUP | POLLERR)) break;
            uint8_t b;
            // A byte at a time, so a frame read stops at its delimiter.
            ssize_t r = ::read(fd_, &b, frame ? 1 : std::min<size_t>(1, n - out.size()));
            if (r == 1)
                out.push_back(b);
            else if (r == 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
        return out;
    }
    Bytes readFrame(milliseconds timeout = kWait) { return read(64, timeout, true); }

    // The events a poll sees once the line is dead; 0 if it stays alive.
    short waitForHangUp(milliseconds timeout = kWait) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && (p.revents & (POLLHUP | POLLERR))) return p.revents;
            if (p.revents & POLLIN) {
                uint8_t buf[64];
                [[maybe_unused]] ssize_t r = ::read(fd_, buf, sizeof buf);
            }
        }
        return 0;
    }

  private:
    int fd_ = -1;
    int openErrno_ = 0;
};

const Bytes kSyncFrame = {0x02, 0xAD, 0x02, 0x67, 0x00};

void openAndWait(const tfsim::Module& sim, const SerialClient& host, tfsim::ConnectionId n = 1) {
    ASSERT_TRUE(host.opened()) << std::strerror(host.openErrno());
    ASSERT_TRUE(sim.waitForConnection(n, kWait));
}

} // namespace

TEST(SerialCodec, Crc8AndCobsGiveThePublishedValues) {
    EXPECT_EQ(tfsim::crc8(text("123456789")), 0xA1);
    EXPECT_EQ(tfsim::crc8(text("abc")), 0x42);
    EXPECT_EQ(tfsim::crc8(Bytes{}), 0x00);

    Bytes run(254);
    for (size_t i = 0; i < run.size(); ++i)
        run[i] = static_cast<uint8_t>(i % 255 + 1);
    struct Case {
        const char* name;
        Bytes plain, encoded;
    };
    const std::vector<Case> cases = {
        {"zero inside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {"one zero", {0x00}, {0x01, 0x01}},
        {"nothing", {}, {0x01}},
        {"trailing zero", {0x05, 0x00}, {0x02, 0x05, 0x01}},
        {"254 non-zero bytes", run, Bytes{0xFF} + run + Bytes{0x01}},
        {"254 non-zero, then a zero", run + Bytes{0x00, 0x07},
         Bytes{0xFF} + run + Bytes{0x01, 0x02, 0x07}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cobs::encode(c.plain), c.encoded) << c.name;
        EXPECT_EQ(cobs::decode(c.encoded), c.plain) << c.name;
    }
    for (const Bytes& broken :
         {Bytes{0x05, 0x11, 0x22}, Bytes{0x02, 0x11, 0x00, 0x01}, Bytes{0x00, 0x01}})
        EXPECT_FALSE(cobs::decode(broken)) << testing::PrintToString(broken);
}

TEST(SerialCodec, BuildsFramesAndBrokenFramesByteForByte) {
    const Packet empty{0x02, {}};
    const Packet two{0x02, {0x00, 0x05}};
    struct Case {
        const char* name;
        Bytes built, expected;
    };
    const std::vector<Case> cases = {
        {"empty packet", cobs::frame(empty), {0x02, 0x02, 0x02, 0x91, 0x00}},
        {"zero in the data", cobs::frame(two), {0x03, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00}},
        {"sync", cobs::frame(Packet{0xAD, {}}), kSyncFrame},
        {"bad CRC", cobs::frame(empty, {.badCrc = true}), {0x02, 0x02, 0x02, 0x6E, 0x00}},
        {"truncated", cobs::frame(two, {.truncate = 2}), {0x03, 0x02, 0x02, 0x03, 0x00}},
        {"first code byte zero",
         cobs::frame(two, {.zeroCode = 0}),
         {0x00, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00}},
        {"inner code byte zero",
         cobs::frame(two, {.zeroCode = 1}),
         {0x03, 0x02, 0x02, 0x00, 0x05, 0x77, 0x00}},
        {"no delimiter", cobs::frame(empty, {.delimiter = false}), {0x02, 0x02, 0x02, 0x91}},
        {"length byte disagrees", cobs::frame(Bytes{0x02, 0x01}), {0x04, 0x02, 0x01, 0xCF, 0x00}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.built, c.expected) << c.name;

    // 28 data bytes fill a receiver's 32 encoded bytes; 29 overflow it.
    for (size_t data : {28u, 29u}) {
        Bytes f = cobs::frame(Packet{0x06, Bytes(data, 0x11)});
        EXPECT_EQ(f.size(), data + 5);
        EXPECT_EQ(std::count(f.begin(), f.end(), 0), 1) << data;
    }
}

TEST(SerialCodec, DecoderPassesGoodFramesAndReportsBadOnes) {
    struct Case {
        const char* name;
        std::vector<Bytes> chunks;
        std::vector<Packet> packets;
        std::vector<F> faults;
    };
    const Packet hb{0x06, {0x00, 0x02}};
    const Bytes good = cobs::frame(hb);
    const Bytes full = cobs::frame(Packet{0x06, Bytes(28, 0x00)});
    const std::vector<Case> cases = {
        {"one frame", {good}, {hb}, {}},
        {"a byte at a time",
         {{good[0]}, {good[1]}, {good[2]}, {good[3]}, {good[4]}, {good[5]}, {good[6]}},
         {hb},
         {}},
        {"two in one read, lone delimiters around",
         {Bytes{0} + good + Bytes{0, 0} + kSyncFrame},
         {hb, {0xAD, {}}},
         {}},
        {"28 zero data bytes", {full}, {{0x06, Bytes(28, 0x00)}}, {}},
        {"bad CRC, then good", {cobs::frame(hb, {.badCrc = true}) + good}, {hb}, {F::BadCrc}},
        {"block past the end", {{0x05, 0xAD, 0x02, 0x00}}, {}, {F::BadCobs}},
        {"truncated in a block", {cobs::frame(hb, {.truncate = 1})}, {}, {F::BadCobs}},
        {"truncated at a block's end", {cobs::frame(hb, {.truncate = 3})}, {}, {F::FrameLength}},
        {"length byte too big", {cobs::frame(Bytes{0x06, 0x03, 0x01})}, {}, {F::FrameLength}},
        {"no length byte", {cobs::frame(Bytes{0x06})}, {}, {F::FrameLength}},
        {"overlong, then good",
         {cobs::frame(Packet{0x06, Bytes(29, 0x11)}), good},
         {hb},
         {F::OverlongFrame}},
        {"inner code byte zero",
         {cobs::frame(hb, {.zeroCode = 1})},
         {},
         {F::FrameLength, F::FrameLength}},
    };
    for (const Case& c : cases) {
        tfsim::FrameDecoder decoder;
        std::vector<Packet> packets;
        std::vector<F> faults;
        tfsim::FrameDecoder::Sink sink{[&](std::span<const uint8_t> w) {
                                           packets.push_back({w[0], Bytes(w.begin() + 2, w.end())});
                                           EXPECT_EQ(size_t{w[1]} + 2, w.size()) << c.name;
                                       },
                                       [&](F f, uint8_t) { faults.push_back(f); }};
        for (const Bytes& chunk : c.chunks)
            decoder.feed(chunk, sink);
        EXPECT_EQ(packets, c.packets) << c.name;
        EXPECT_EQ(faults, c.faults) << c.name;
    }
}

TEST(SerialCodec, EncoderSendsEachPacketAsItsFrameWithThePausesInPlace) {
    tfsim::FrameEncoder encoder;
    const Packet a{0x02, {}}, b{0x02, {0x00, 0x05}};
    // Pauses before b's address, before its third byte, and at the end.
    tfsim::Write w = encoder.encode({tfsim::wire({a, b}), {{2, 10ms}, {4, 20ms}, {6, 30ms}}});
    EXPECT_EQ(w.bytes, cobs::frame(a) + cobs::frame(b));
    ASSERT_EQ(w.pauses.size(), 3u);
    EXPECT_EQ(w.pauses[0].offset, 5u);
    EXPECT_EQ(w.pauses[1].offset, 5u + 3u); // code, 02, 02 | 03 ...
    EXPECT_EQ(w.pauses[2].offset, 12u);
    EXPECT_EQ(w.pauses[2].duration, 30ms);

    // An unfinished packet waits, with its pause, for the rest.
    const Bytes wb = b.wire();
    tfsim::Write first = encoder.encode({{wb[0], wb[1]}, {{1, 10ms}}});
    EXPECT_TRUE(first.bytes.empty());
    EXPECT_TRUE(first.pauses.empty());
    tfsim::Write second = encoder.encode({{wb[2], wb[3]}, {}});
    EXPECT_EQ(second.bytes, cobs::frame(b));
    ASSERT_EQ(second.pauses.size(), 1u);
    EXPECT_EQ(second.pauses[0].offset, 2u);
}

TEST(SerialModule, AnswersAFramedSyncAndSendsFramesByteForByte) {
    auto sim = tfsim::Module::serial({.address = 0x02});
    const std::string path = sim.slavePath();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    SerialClient host(path);
    openAndWait(sim, host);

    host.write(kSyncFrame);
    EXPECT_EQ(host.readFrame(), (Bytes{0x02, 0x02, 0x02, 0x91, 0x00}));
    ASSERT_TRUE(sim.send(Packet{0x02, {0x00, 0x05}}));
    EXPECT_EQ(host.readFrame(), (Bytes{0x03, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00}));

    // A frame in pieces with pauses, then two in one write.
    for (uint8_t b : kSyncFrame) {
        host.write({b});
        std::this_thread::sleep_for(20ms);
    }
    host.write(kSyncFrame + cobs::frame(Packet{0x02, {0x00, 0x02}}));
    EXPECT_EQ(host.readFrame(), cobs::frame(Packet{0x02, {}}));
    ASSERT_TRUE(sim.waitForHeartbeatAnswers(1, kWait));
    EXPECT_EQ(host.readFrame(), cobs::frame(Packet{0x02, {}}));
    EXPECT_EQ(sim.journal().syncsReceived(), 3u);
    EXPECT_TRUE(sim.journal().framingErrors().empty());
}

TEST(SerialModule, RecordsBadFramesFromTheHostAndAnswersNone) {
    struct Case {
        const char* name;
        Bytes line;
        std::vector<F> faults;
    };
    const Packet sync{0xAD, {}};
    const std::vector<Case> cases = {
        {"bad CRC", cobs::frame(sync, {.badCrc = true}), {F::BadCrc}},
        {"block past the end", {0x05, 0xAD, 0x02, 0x00}, {F::BadCobs}},
        {"truncated", cobs::frame(sync, {.truncate = 1}), {F::BadCobs}},
        {"overlong", cobs::frame(Packet{0xAD, Bytes(29, 0x01)}), {F::OverlongFrame}},
        {"lone delimiters", {0x00, 0x00}, {}},
    };
    auto sim = tfsim::Module::serial();
    SerialClient host(sim.slavePath());
    openAndWait(sim, host);
    size_t faults = 0;
    for (const Case& c : cases) {
        // The good sync behind each bad frame gets the only answer.
        host.write(c.line + kSyncFrame);
        EXPECT_EQ(host.readFrame(), cobs::frame(Packet{0x06, {}})) << c.name;
        EXPECT_EQ(host.read(1, kQuiet), Bytes{}) << c.name;
        auto errors = sim.journal().framingErrors();
        ASSERT_EQ(errors.size(), faults + c.faults.size()) << c.name;
        for (F f : c.faults)
            EXPECT_EQ(errors[faults++].fault, f) << c.name;
    }
    EXPECT_EQ(sim.received().size(), cases.size());
    EXPECT_EQ(sim.journal().framingErrors()[0].byte, 0x98); // the CRC received
}

TEST(SerialModule, PutsInjectedFaultsOnTheLineAsGiven) {
    auto sim = tfsim::Module::serial();
    SerialClient host(sim.slavePath());
    openAndWait(sim, host);
    const Packet p{0x06, {0x00, 0x05}}, q{0x06, {}};
    struct Case {
        const char* name;
        bool line; // past the encoder
        Bytes sent, expected;
    };
    const std::vector<Case> cases = {
        {"bad CRC", true, cobs::frame(p, {.badCrc = true}), cobs::frame(p, {.badCrc = true})},
        {"truncated", true, cobs::frame(p, {.truncate = 2}), {0x03, 0x06, 0x02, 0x03, 0x00}},
        {"overlong", true, cobs::frame(Packet{0x06, Bytes(30, 0x11)}),
         cobs::frame(Packet{0x06, Bytes(30, 0x11)})},
        {"zero code byte", true, cobs::frame(p, {.zeroCode = 1}), zeroed(cobs::frame(p), 3)},
        {"lone delimiter between frames", true, cobs::frame(q) + Bytes{0x00} + cobs::frame(q),
         cobs::frame(q) + Bytes{0x00} + cobs::frame(q)},
        {"two packets in one write", false, tfsim::wire({p, q}), cobs::frame(p) + cobs::frame(q)},
        {"length byte above 28", false, tfsim::wire(0x06, 29, Bytes(29, 0x22)),
         cobs::frame(tfsim::wire(0x06, 29, Bytes(29, 0x22)))},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.line ? sim.sendLine(c.sent) : sim.sendRaw(c.sent)) << c.name;
        EXPECT_EQ(host.read(c.expected.size(), kWait), c.expected) << c.name;
        EXPECT_EQ(host.read(1, 50ms), Bytes{}) << c.name;
    }

    // A packet split across writes: the frame leaves in the same pieces.
    ASSERT_TRUE(sim.sendRaw(p.wire(), {{2, 120ms}}));
    EXPECT_EQ(host.read(3, kWait), (Bytes{0x03, 0x06, 0x02}));
    auto t = Clock::now();
    EXPECT_EQ(host.read(4, kWait), (Bytes{0x03, 0x05, tfsim::crc8(p.wire()), 0x00}));
    EXPECT_GE(Clock::now() - t, 100ms);
}

TEST(SerialModule, HangUpIsSeenByTheHostAndAFreshPtyTakesItsPlace) {
    struct Case {
        const char* name;
        bool reset;
        tfsim::LinkEventKind recorded;
    };
    const std::vector<Case> cases = {
        {"reset", true, tfsim::LinkEventKind::ResetHere},
        {"close", false, tfsim::LinkEventKind::ClosedHere},
    };
    for (const Case& c : cases) {
        auto sim = tfsim::Module::serial();
        const std::string first = sim.slavePath();
        SerialClient host(first);
        openAndWait(sim, host);
        ASSERT_TRUE(sim.send(Packet{0x06, {0x5F}})) << c.name;
        bool ended = false;
        std::thread ender([&] { ended = c.reset ? sim.reset() : sim.close(); });
        // An orderly close waits for the host to read what was sent before it.
        Bytes got = host.readFrame();
        ender.join();
        EXPECT_TRUE(ended) << c.name;
        if (!c.reset) {
            EXPECT_EQ(got, cobs::frame(Packet{0x06, {0x5F}})) << c.name;
        }
        EXPECT_TRUE(host.waitForHangUp() & POLLHUP) << c.name;
        uint8_t b = 0;
        EXPECT_EQ(::write(host.fd(), &b, 1), -1) << c.name;
        EXPECT_EQ(errno, EIO) << c.name;
        ASSERT_TRUE(sim.journal().waitForLinkEvent(c.recorded, kWait)) << c.name;
        EXPECT_FALSE(sim.send(Packet{0x06, {}})) << c.name;

        const std::string second = sim.slavePath();
        ASSERT_FALSE(second.empty()) << c.name;
        SerialClient again(second);
        openAndWait(sim, again, 2);
        again.write(kSyncFrame);
        EXPECT_EQ(again.readFrame(), cobs::frame(Packet{0x06, {}})) << c.name;
    }
}

TEST(SerialModule, EachOpenOfTheSlaveIsAConnection) {
    auto sim = tfsim::Module::serial();
    sim.onRequest(match::prefix(0x06, {0x17}), tfsim::reply(Packet{0x06, {0x17}}),
                  {.delay = 200ms});
    const std::string path = sim.slavePath();
    {
        SerialClient host(path);
        openAndWait(sim, host);
        // Half a frame, then the host goes: the next host starts clean.
        host.write(cobs::frame(Packet{0x06, {0x17}}));
        host.write({0x02, 0xAD});
        ASSERT_TRUE(sim.waitForPacket(match::prefix(0x06, {0x17}), kWait));
    }
    ASSERT_TRUE(sim.journal().waitForLinkEvent(tfsim::LinkEventKind::PeerClosed, kWait));

    SerialClient host(path);
    openAndWait(sim, host, 2);
    host.write({0x02, 0x67, 0x00}); // the rest of the half frame
    host.write(kSyncFrame);
    EXPECT_EQ(host.readFrame(), cobs::frame(Packet{0x06, {}}));
    EXPECT_EQ(host.read(1, 400ms), Bytes{}); // the late reply was for the first host
    EXPECT_EQ(sim.journal().framingErrors().size(), 1u);

    // Not accepting: the pty goes once the host has let go, and a new one comes back.
    sim.setAccepting(false);
    host.closeHere();
    ASSERT_TRUE(sim.journal().waitForLinkEvent(tfsim::LinkEventKind::PeerClosed, kWait, 2));
    EXPECT_TRUE(tftest::eventually([&] { return sim.slavePath().empty(); }));
    sim.setAccepting(true);
    SerialClient back(sim.slavePath());
    openAndWait(sim, back, 3);
    back.write(kSyncFrame);
    EXPECT_EQ(back.readFrame(), cobs::frame(Packet{0x06, {}}));
}

TEST(SerialModule, StoppedReaderMakesTheHostsWritesBlock) {
    auto sim = tfsim::Module::serial();
    SerialClient host(sim.slavePath());
    openAndWait(sim, host);
    sim.stopReading();
    const Bytes frame = cobs::frame(Packet{0x06, Bytes(28, 0x42)});
    size_t sent = 0;
    bool blocked = false;
    while (!blocked && sent < 16 * 1024 * 1024) {
        ssize_t n = ::write(host.fd(), frame.data() + sent % frame.size(),
                            frame.size() - sent % frame.size());
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (errno == EAGAIN)
            blocked = true;
        else
            FAIL() << std::strerror(errno);
    }
    ASSERT_TRUE(blocked) << sent << " bytes went without blocking";
    EXPECT_TRUE(sim.received().empty());

    sim.resumeReading();
    host.write(Bytes(frame.begin() + static_cast<long>(sent % frame.size()), frame.end()));
    EXPECT_TRUE(sim.waitForPackets((sent + frame.size() - 1) / frame.size(), kWait));
    EXPECT_TRUE(sim.journal().framingErrors().empty());
}

TEST(RawPty, CarriesThePlainStreamWithAShortReadTimeout) {
    auto sim =
        tfsim::Module::serial({}, {.framing = tfsim::PtyEndpoint::Framing::Raw, .readTimeout = 3});
    SerialClient host(sim.slavePath(), false); // as the simulator left it
    openAndWait(sim, host);
    termios t{};
    ASSERT_EQ(tcgetattr(host.fd(), &t), 0);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 3);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    host.write({0xAD, 0x00, 0x06, 0x02, 0x00});
    host.write({0x02});
    EXPECT_EQ(host.read(2, kWait), (Bytes{0x06, 0x00}));
    ASSERT_TRUE(sim.waitForHeartbeatAnswers(1, kWait));
    ASSERT_TRUE(sim.sendRaw({0x06, 0x00, 0x00}));
    EXPECT_EQ(host.read(3, kWait), (Bytes{0x06, 0x00, 0x00}));
}

TEST(TfsimProgram, PrintsItsPtyAndPlaysTheModule) {
    struct Case {
        bool raw;
        Bytes sync, answer;
    };
    const std::vector<Case> cases = {
        {false, kSyncFrame, cobs::frame(Packet{0x0C, {}})},
        {true, {0xAD, 0x00}, {0x0C, 0x00}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--pty", "--address", "0x0C"};
        if (c.raw) args.push_back("--raw");
        SimProgram program;
        ASSERT_NO_FATAL_FAILURE(startSimProgram(args, program));
        char path[256] = {};
        EXPECT_EQ(std::fscanf(program.out, "pty %255s", path), 1) << c.raw;
        std::fclose(program.out);
        if (path[0] != 0) {
            SerialClient host(path);
            ASSERT_TRUE(host.opened()) << path;
            host.write(c.sync);
            EXPECT_EQ(host.read(c.answer.size(), kWait), c.answer) << c.raw;
        }
        ASSERT_NO_FATAL_FAILURE(stopSimProgram(program));
    }
}
