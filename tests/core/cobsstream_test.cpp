// The COBS stream: frames written and received over a scripted inner transport, and the
// packetized serial stream over a real pseudo-terminal (pacing and hang-ups).
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "PtyPair.h"
#include "Holders.h"
#include "aStream.h"
#include "aStream_CobsEncoding.h"
#include "cobs.h"
#include "crc8.h"
#include "aStream_Serial.h"

using tftest::Bytes;
using tftest::PtyPair;
using namespace std::chrono_literals;

namespace {

// An inner transport that hands out scripted bytes and results (then not-ready), and
// records each write call as one frame.
struct Line {
    struct Step {
        bool isByte;
        uint8_t byte;
        aErr err;
    };
    std::deque<Step> input;
    std::vector<Bytes> frames;
    Bytes puts;
    std::deque<aErr> writeResults; // for successive writes; aErrNone when used up
    int deletes = 0;
    aErr deleteResult = aErrNone;

    Line& feed(const Bytes& bytes) {
        for (uint8_t b : bytes)
            input.push_back({true, b, aErrNone});
        return *this;
    }
    Line& fail(aErr err) {
        input.push_back({false, 0, err});
        return *this;
    }

    static aErr get(uint8_t* byte, void* ref) {
        auto* self = static_cast<Line*>(ref);
        if (self->input.empty()) return aErrNotReady;
        Step step = self->input.front();
        self->input.pop_front();
        if (!step.isByte) return step.err;
        *byte = step.byte;
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* ref) {
        static_cast<Line*>(ref)->puts.push_back(*byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        auto* self = static_cast<Line*>(ref);
        self->frames.emplace_back(data, data + length);
        if (self->writeResults.empty()) return aErrNone;
        aErr result = self->writeResults.front();
        self->writeResults.pop_front();
        return result;
    }
    static aErr release(void* ref) {
        auto* self = static_cast<Line*>(ref);
        self->deletes++;
        return self->deleteResult;
    }
};

using tftest::StreamPtr;

StreamPtr cobsOver(Line& line) {
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateCobsEncoding(Line::get, Line::put, Line::write, Line::release, &line,
                                         &stream),
              aErrNone);
    return StreamPtr(stream);
}

// The frame of a packet's bytes, built from the codec (tested on its own).
Bytes frameOf(Bytes content) {
    content.push_back(crc8_create(content.data(), content.size()));
    Bytes encoded(content.size() + 2);
    encoded.resize(cobs_encode(content.data(), content.size(), encoded.data()));
    encoded.push_back(0x00);
    return encoded;
}

Bytes packet(uint8_t address, const Bytes& data) {
    Bytes bytes{address, static_cast<uint8_t>(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One token per one-byte read, as the link engine reads: a byte in hex, "-" for
// not-ready, else the error's name. Trailing not-ready reads (the idle line) are dropped.
std::string trace(aStream* stream, size_t reads) {
    std::string out;
    for (size_t i = 0; i < reads; i++) {
        uint8_t byte = 0;
        aErr err = aStream_Read(stream, &byte, 1);
        char token[8];
        if (err == aErrNone) std::snprintf(token, sizeof(token), "%02X", byte);
        if (!out.empty()) out += ' ';
        out += err == aErrNone ? token : err == aErrNotReady ? "-" : aError_GetErrorText(err);
    }
    while (out.size() >= 2 && out.compare(out.size() - 2, 2, " -") == 0)
        out.resize(out.size() - 2);
    if (out == "-") out.clear();
    return out;
}

std::string hex(const Bytes& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        char token[4];
        std::snprintf(token, sizeof(token), "%02X", b);
        if (!out.empty()) out += ' ';
        out += token;
    }
    return out;
}

std::string join(std::initializer_list<std::string> parts) {
    std::string out;
    for (const auto& part : parts)
        if (!part.empty()) out += (out.empty() ? "" : " ") + part;
    return out;
}

Bytes data28() {
    Bytes data(28);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i % 5 == 0 ? 0 : 0xE0 + i);
    return data;
}

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

} // namespace

TEST(CobsStreamWrite, SendsEachPacketAsOneFrame) {
    const Bytes frame28 = frameOf(packet(0x04, data28()));
    const struct {
        const char* name;
        std::vector<Bytes> writes;
        std::vector<std::vector<Bytes>> framesPerWrite;
    } cases[] = {
        {"packet with data",
         {{0x02, 0x02, 0x00, 0x05}},
         {{{0x03, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00}}}},
        {"packet split across writes",
         {{0x02, 0x02}, {0x00, 0x05}},
         {{}, {{0x03, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00}}}},
        {"two packets in one write",
         {{0x02, 0x00, 0xAD, 0x00}},
         {{{0x02, 0x02, 0x02, 0x91, 0x00}, {0x02, 0xAD, 0x02, 0x67, 0x00}}}},
        {"a write ends one packet and begins the next",
         {{0x02, 0x02, 0x00}, {0x05, 0x02, 0x00}},
         {{}, {{0x03, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00}, {0x02, 0x02, 0x02, 0x91, 0x00}}}},
        {"refused address and length bytes are dropped",
         {{0x00, 0x02, 0x1D, 0x00}},
         {{{0x02, 0x02, 0x02, 0x91, 0x00}}}},
        {"28 data bytes", {packet(0x04, data28())}, {{frame28}}},
    };
    EXPECT_EQ(frame28.size(), 33u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Line line;
        StreamPtr stream = cobsOver(line);
        for (size_t i = 0; i < c.writes.size(); i++) {
            line.frames.clear();
            EXPECT_EQ(aStream_Write(stream.get(), c.writes[i].data(), c.writes[i].size()),
                      aErrNone);
            EXPECT_EQ(line.frames, c.framesPerWrite[i]) << "write " << i;
        }
        EXPECT_TRUE(line.puts.empty());
    }
}

TEST(CobsStreamWrite, OneByteWriteReachesTheLineUnframed) {
    Line line;
    StreamPtr stream = cobsOver(line);
    const uint8_t byte = 0x02;
    EXPECT_EQ(aStream_Write(stream.get(), &byte, 1), aErrNone);
    EXPECT_EQ(line.puts, Bytes{0x02});
    EXPECT_TRUE(line.frames.empty());
}

TEST(CobsStreamWrite, FailedFrameIsReportedAfterTheWholeBlock) {
    Line line;
    line.writeResults = {aErrIO, aErrNone};
    StreamPtr stream = cobsOver(line);
    const Bytes two = {0x02, 0x00, 0xAD, 0x00};
    EXPECT_EQ(aStream_Write(stream.get(), two.data(), two.size()), aErrIO);
    ASSERT_EQ(line.frames.size(), 2u) << "the second frame still goes out";
    EXPECT_EQ(line.frames[1], (Bytes{0x02, 0xAD, 0x02, 0x67, 0x00}));
}

TEST(CobsStreamRead, HandsOutGoodFramesAndRejectsBrokenOnes) {
    const Bytes good = {0x02, 0x02, 0x02, 0x91, 0x00};
    const std::string goodTrace = "02 00";
    const Bytes frame28 = frameOf(packet(0x04, data28()));
    Bytes overlong(frame28.begin(), frame28.end() - 1);
    overlong.push_back(0x33);
    overlong.push_back(0x00);

    const struct {
        const char* name;
        Line input;
        std::string trace;
    } cases[] = {
        {"empty packet", Line().feed(good), goodTrace},
        {"packet with data", Line().feed({0x03, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00}),
         "02 02 00 05"},
        {"sync packet", Line().feed({0x02, 0xAD, 0x02, 0x67, 0x00}), "AD 00"},
        {"28 data bytes", Line().feed(frame28), hex(packet(0x04, data28()))},
        {"lone delimiters are ignored", Line().feed(Bytes{0x00} + good + Bytes{0x00, 0x00} + good),
         join({goodTrace, goodTrace})},
        {"wrong CRC, then a good frame", Line().feed(Bytes{0x02, 0x02, 0x02, 0x92, 0x00} + good),
         join({"aErrPacket", goodTrace})},
        {"truncated frame, then a good frame", Line().feed(Bytes{0x02, 0x02, 0x02, 0x00} + good),
         join({"aErrPacket", goodTrace})},
        {"a zero in place of a code byte cuts the frame in two",
         Line().feed({0x03, 0x02, 0x02, 0x00, 0x05, 0x77, 0x00}),
         join({"aErrPacket", "aErrPacket"})},
        {"block running past the frame's end", Line().feed({0x05, 0x11, 0x22, 0x00}), "aErrPacket"},
        {"a lone code byte decodes to nothing", Line().feed({0x01, 0x00}), "aErrPacket"},
        {"length byte disagrees with the frame", Line().feed(frameOf({0x02, 0x03, 0xAA})),
         "aErrPacket"},
        {"overlong frame is rejected even when it begins with a good one",
         Line().feed(overlong + good), join({"aErrPacket", goodTrace})},
        {"inner failure is passed through, the frame goes on",
         Line().feed({0x02, 0x02}).fail(aErrIO).feed({0x02, 0x91, 0x00}),
         join({"aErrIO", "02 00"})},
        {"end of the inner source is passed through", Line().feed({0x02}).fail(aErrEOF), "aErrEOF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Line line = c.input;
        StreamPtr stream = cobsOver(line);
        EXPECT_EQ(trace(stream.get(), line.input.size() + 64), c.trace);
        EXPECT_TRUE(line.input.empty());
    }
}

namespace {

// An inner transport that hands out one byte value without end until it is stopped, then
// the bytes queued behind the flood (then not-ready).
struct Flood {
    uint8_t byte;
    std::atomic<bool> stopped{false};
    std::deque<uint8_t> after;

    static aErr get(uint8_t* out, void* ref) {
        auto* self = static_cast<Flood*>(ref);
        if (!self->stopped) {
            *out = self->byte;
            return aErrNone;
        }
        if (self->after.empty()) return aErrNotReady;
        *out = self->after.front();
        self->after.pop_front();
        return aErrNone;
    }
};

} // namespace

// A line that sends bytes without a frame end, or nothing but delimiters (as a wrong baud
// rate gives), must not keep the reader, a link's input thread that its teardown waits for:
// the read reports a framing error, and the frames after the flood come through.
TEST(CobsStreamRead, AFloodIsAFramingErrorNotAHang) {
    const Bytes good = {0x02, 0x02, 0x02, 0x91, 0x00};
    const struct {
        const char* name;
        uint8_t byte;
        std::string after;
    } cases[] = {
        {"bytes without a frame end", 0x55, join({"aErrPacket", "02 00"})},
        {"delimiters only", 0x00, "02 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Flood flood{c.byte};
        const Bytes after = Bytes{0x00} + good;
        flood.after.assign(after.begin(), after.end());
        aStream* raw = nullptr;
        ASSERT_EQ(aStream_CreateCobsEncoding(Flood::get, nullptr, nullptr, nullptr, &flood, &raw),
                  aErrNone);
        StreamPtr stream(raw);
        auto read = tftest::finishesWithin(
            10s,
            [&] {
                uint8_t byte = 0;
                return aStream_Read(stream.get(), &byte, 1);
            },
            [&] { flood.stopped = true; });
        EXPECT_TRUE(read) << "the read returned only once the flood stopped";
        EXPECT_EQ(read.value_or(aErrNone), aErrPacket);
        EXPECT_EQ(trace(stream.get(), 64), c.after);
    }
}

// Whatever the link engine writes comes out of the far side's reader unchanged, zeros and
// 0xFF bytes in the data included.
TEST(CobsStream, EveryPacketLengthSurvivesTheRoundTrip) {
    for (uint8_t length = 0; length <= 28; length++) {
        SCOPED_TRACE(int(length));
        Bytes data(length);
        for (size_t i = 0; i < data.size(); i++)
            data[i] = static_cast<uint8_t>((i * 37 + length) % 3 == 0 ? 0x00 : 0xFF - i);
        const Bytes sent = packet(static_cast<uint8_t>(2 + 2 * length), data);

        Line sender;
        StreamPtr writer = cobsOver(sender);
        ASSERT_EQ(aStream_Write(writer.get(), sent.data(), sent.size()), aErrNone);
        ASSERT_EQ(sender.frames.size(), 1u);
        EXPECT_EQ(sender.frames[0].size(), length + 5u);

        Line receiver;
        receiver.feed(sender.frames[0]);
        StreamPtr reader = cobsOver(receiver);
        EXPECT_EQ(trace(reader.get(), 100), hex(sent));
    }
}

TEST(CobsStream, CreateAndDestroy) {
    Line line;
    EXPECT_EQ(aStream_CreateCobsEncoding(Line::get, Line::put, Line::write, Line::release, &line,
                                         nullptr),
              aErrParam);
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateCobsEncoding(Line::get, Line::put, Line::write, Line::release, &line,
                                         &stream),
              aErrNone);
    line.deleteResult = aErrIO;
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO) << "the inner delete's result";
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(line.deletes, 1);
}

// Over a pseudo-terminal, as a serial link runs.

namespace {

StreamPtr openPacketized(const PtyPair& pty) {
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateSerial_Packetized(pty.slave().c_str(), 6, 0, 0, 0, &stream), aErrNone);
    return StreamPtr(stream);
}

} // namespace

TEST(CobsSerialStream, CarriesFramesBothWays) {
    PtyPair pty;
    StreamPtr stream = openPacketized(pty);
    ASSERT_TRUE(stream);

    pty.send({0x03, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00, 0x02, 0xAD, 0x02, 0x67, 0x00});
    Bytes got;
    for (int i = 0; i < 100 && got.size() < 6; i++) {
        uint8_t byte = 0;
        aErr err = aStream_Read(stream.get(), &byte, 1);
        if (err == aErrNone) got.push_back(byte);
        ASSERT_TRUE(err == aErrNone || err == aErrNotReady) << aError_GetErrorText(err);
    }
    EXPECT_EQ(got, (Bytes{0x02, 0x02, 0x00, 0x05, 0xAD, 0x00}));

    const Bytes two = {0x02, 0x02, 0x00, 0x05, 0x02, 0x00};
    ASSERT_EQ(aStream_Write(stream.get(), two.data(), two.size()), aErrNone);
    EXPECT_EQ(pty.receive(12, 2s),
              (Bytes{0x03, 0x02, 0x02, 0x03, 0x05, 0x77, 0x00, 0x02, 0x02, 0x02, 0x91, 0x00}));
}

// The link engine reads again at once after a not-ready read, so an idle line must make
// the read wait, not spin.
TEST(CobsSerialStream, IdleReadWaitsWithoutSpinning) {
    PtyPair pty;
    StreamPtr stream = openPacketized(pty);
    ASSERT_TRUE(stream);
    const int reads = 5;
    double cpuBefore = threadCpuMs();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < reads; i++) {
        uint8_t byte = 0;
        ASSERT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    double cpu = threadCpuMs() - cpuBefore;
    EXPECT_GE(elapsed, reads * 90ms) << "each idle read waits about 100 ms";
    EXPECT_LT(elapsed, reads * 1s);
    EXPECT_LT(cpu, 100.0) << "ms of CPU for " << reads << " idle reads";
}

// A reader waiting on the line learns of the hang-up, rather than seeing an idle line for
// ever.
TEST(CobsSerialStream, HangUpIsAnErrorNotSilence) {
    PtyPair pty;
    StreamPtr stream = openPacketized(pty);
    ASSERT_TRUE(stream);
    std::atomic<int> result{-1};
    std::atomic<int> idleReads{0};
    std::thread reader([&] {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            uint8_t byte = 0;
            aErr err = aStream_Read(stream.get(), &byte, 1);
            if (err != aErrNotReady) {
                result = err;
                return;
            }
            idleReads++;
        }
    });
    std::this_thread::sleep_for(250ms);
    pty.closeMaster();
    reader.join();
    EXPECT_EQ(result.load(), static_cast<int>(aErrIO));
    EXPECT_GE(idleReads.load(), 1) << "the line was idle before it hung up";

    const Bytes frame = {0x02, 0x00};
    EXPECT_EQ(aStream_Write(stream.get(), frame.data(), frame.size()), aErrIO);
}

// A link reads on one thread while it writes on another: a far side that sends every frame
// back must return every packet whole and in order.
TEST(CobsSerialStream, ReadsAndWritesAtOnce) {
    PtyPair pty;
    StreamPtr stream = openPacketized(pty);
    ASSERT_TRUE(stream);

    std::atomic<bool> stop{false};
    std::thread echo([&] {
        while (!stop) {
            pollfd wait{pty.master(), POLLIN, 0};
            if (poll(&wait, 1, 20) <= 0) continue;
            uint8_t chunk[512];
            ssize_t n = read(pty.master(), chunk, sizeof(chunk));
            if (n <= 0) return;
            pty.send(Bytes(chunk, chunk + n));
        }
    });

    std::vector<Bytes> packets;
    Bytes expected;
    for (size_t i = 0; i < 200; i++) {
        Bytes data(i % 29);
        for (size_t j = 0; j < data.size(); j++)
            data[j] = static_cast<uint8_t>(j % 4 == 0 ? 0 : i + j);
        packets.push_back(packet(static_cast<uint8_t>(2 + 2 * (i % 100)), data));
        expected = expected + packets.back();
    }

    Bytes received;
    std::thread reader([&] {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (received.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
            uint8_t byte = 0;
            aErr err = aStream_Read(stream.get(), &byte, 1);
            if (err == aErrNone)
                received.push_back(byte);
            else if (err != aErrNotReady)
                return;
        }
    });
    for (const Bytes& p : packets)
        EXPECT_EQ(aStream_Write(stream.get(), p.data(), p.size()), aErrNone);
    reader.join();
    stop = true;
    echo.join();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}
