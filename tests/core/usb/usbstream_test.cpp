// The USB stream end to end: over the fake libusb backed by a simulated module, and over
// a kernel driver node played by a raw pty.
#include <gtest/gtest.h>

#include <libusb-1.0/libusb.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "Eventually.h"
#include "Tessaform-C.h"
#include "fakeusb.h"
#include "tfsim/Module.h"
#include "tfsim/PtyEndpoint.h"
#include "tfusb_driver.h"
#include "aStream_USB.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kAddress = 0x06;
constexpr unsigned char kOut = 0x01;
constexpr unsigned char kIn = 0x81;

uint32_t nextSerial() {
    static uint32_t serial = 0x5B000000u | ((static_cast<uint32_t>(getpid()) & 0xFFFu) << 8);
    return ++serial;
}

std::string hex(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// Reads up to `count` bytes, giving up after `limit`.
std::vector<uint8_t> readBytes(aStream* stream, size_t count,
                               std::chrono::milliseconds limit = 5s) {
    std::vector<uint8_t> got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count && Clock::now() < deadline) {
        uint8_t byte = 0;
        aErr err = stream->getProc(&byte, stream->ref);
        if (err == aErrNone)
            got.push_back(byte);
        else if (err != aErrNotReady)
            break;
    }
    return got;
}

// A sync probe and the module's answer: its address and a zero length.
bool syncs(aStream* stream) {
    const uint8_t sync[] = {0xAD, 0x00};
    if (aStream_Write(stream, sync, sizeof sync) != aErrNone) return false;
    return readBytes(stream, 2) == std::vector<uint8_t>{kAddress, 0x00};
}

// `total` bytes of well-formed packets to the module, so that the simulator's journal
// shows whether every byte arrived once and in order.
std::vector<tfsim::Packet> packetsOf(size_t total) {
    std::vector<tfsim::Packet> packets;
    uint8_t tag = 0;
    while (total > 0) {
        size_t data = std::min<size_t>(total - 2, tfsim::kMaxData);
        tfsim::Packet p{kAddress, tfsim::Bytes(data)};
        for (auto& b : p.data)
            b = ++tag;
        if (!p.data.empty()) p.data[0] = 0x40; // no built-in answer
        packets.push_back(p);
        total -= data + 2;
    }
    return packets;
}

std::vector<tfsim::Packet> receivedFromHost(const tfsim::Module& sim) {
    std::vector<tfsim::Packet> got;
    for (const auto& r : sim.received())
        if (r.packet.address == kAddress) got.push_back(r.packet);
    return got;
}

std::vector<fakeusb_transfer> transfersTo(fakeusb_device* dev, unsigned char endpoint) {
    std::vector<fakeusb_transfer> all(fakeusb_transfers(dev, nullptr, 0));
    all.resize(fakeusb_transfers(dev, all.data(), all.size()));
    std::vector<fakeusb_transfer> out;
    for (const auto& t : all)
        if (t.endpoint == endpoint) out.push_back(t);
    return out;
}

aErr get(aStream* stream, uint8_t* byte = nullptr) {
    uint8_t ignored = 0;
    return stream->getProc(byte ? byte : &ignored, stream->ref);
}

class UsbStream : public testing::Test {
  protected:
    void SetUp() override {
        fakeusb_reset();
        serial_ = nextSerial();
    }

    void TearDown() override {
        if (stream_) {
            EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
        }
        EXPECT_EQ(fakeusb_open_handles(), 0u);
        EXPECT_EQ(fakeusb_live_device_lists(), 0u);
        EXPECT_EQ(fakeusb_live_config_descriptors(), 0u);
        EXPECT_EQ(fakeusb_misuse_count(), 0u);
    }

    fakeusb_device_config config(uint16_t maxPacket = 64) {
        serialText_ = hex(serial_);
        fakeusb_device_config c;
        fakeusb_config_init(&c, aTESSAFORM_USB_VENDOR_ID, 0x0100, serialText_.c_str());
        c.backing_port = sim_.port();
        c.out.max_packet_size = maxPacket;
        return c;
    }

    fakeusb_device* plug(uint16_t maxPacket = 64) {
        fakeusb_device_config c = config(maxPacket);
        return fakeusb_add_device(&c);
    }

    aErr open() { return aStream_CreateUSB(serial_, &stream_); }

    // The simulator writing to the host once the claim has connected it.
    void moduleSends(tfsim::Bytes bytes) {
        tftest::eventually([&] { return sim_.sendRaw(bytes); });
    }

    tfsim::Module sim_{tfsim::Config{.address = kAddress}};
    uint32_t serial_ = 0;
    std::string serialText_;
    aStream* stream_ = nullptr;
};

TEST_F(UsbStream, OpensBySerialNumberAndExchangesBytes) {
    fakeusb_device* dev = plug();
    ASSERT_EQ(open(), aErrNone);
    ASSERT_NE(stream_, nullptr);
    EXPECT_TRUE(syncs(stream_));
    EXPECT_EQ(fakeusb_call_count(dev, FAKEUSB_OP_CLAIM), 1u);
    // The idle IN transfer asks for a whole buffer and waits the link's pace.
    auto in = transfersTo(dev, kIn);
    ASSERT_FALSE(in.empty());
    EXPECT_EQ(in.front().length, 1024);
    EXPECT_EQ(in.front().timeout, 1000u);

    EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    EXPECT_EQ(fakeusb_call_count(dev, FAKEUSB_OP_RELEASE), 1u);
    EXPECT_EQ(fakeusb_call_count(dev, FAKEUSB_OP_CLOSE), 1u);
}

TEST_F(UsbStream, RefusesBadArgumentsAndMissingModules) {
    aStream* stream = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateUSB(serial_, nullptr), aErrParam);

    // Nothing on the bus; then the digits in lower case, and a product id with bit 15 set.
    serial_ = (serial_ & 0xFF00FFFFu) | 0x00AB0000u;
    EXPECT_EQ(open(), aErrNotFound);
    fakeusb_device_config c = config();
    std::string lower = serialText_;
    for (auto& ch : lower)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    ASSERT_NE(lower, serialText_);
    c.serial = lower.c_str();
    fakeusb_device* lowerDev = fakeusb_add_device(&c);
    c = config();
    c.product_id = 0x8000;
    fakeusb_device* loader = fakeusb_add_device(&c);
    EXPECT_EQ(open(), aErrNotFound);
    EXPECT_EQ(stream_, nullptr);
    EXPECT_EQ(fakeusb_call_count(loader, FAKEUSB_OP_OPEN), 0u);
    EXPECT_EQ(fakeusb_call_count(lowerDev, FAKEUSB_OP_CLAIM), 0u);
}

TEST_F(UsbStream, SkipsDevicesThatCannotBeOpened) {
    fakeusb_device* broken = plug();
    fakeusb_fail(broken, FAKEUSB_OP_OPEN, LIBUSB_ERROR_ACCESS, -1);
    EXPECT_EQ(open(), aErrNotFound);
    EXPECT_GE(fakeusb_call_count(broken, FAKEUSB_OP_OPEN), 1u);

    plug();
    ASSERT_EQ(open(), aErrNone);
    EXPECT_TRUE(syncs(stream_));
}

TEST_F(UsbStream, ReportsClaimAndConfigurationFailures) {
    struct Case {
        const char* what;
        int claimError;
        bool noOutEndpoint;
        aErr expected;
    } cases[] = {
        {"busy", LIBUSB_ERROR_BUSY, false, aErrBusy},
        {"gone", LIBUSB_ERROR_NO_DEVICE, false, aErrBusy},
        {"access", LIBUSB_ERROR_ACCESS, false, aErrPermission},
        {"other", LIBUSB_ERROR_OTHER, false, aErrUnknown},
        {"no OUT endpoint", 0, true, aErrConfiguration},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        fakeusb_reset();
        fakeusb_device_config c = config();
        if (k.noOutEndpoint) c.out.address = 0;
        fakeusb_device* dev = fakeusb_add_device(&c);
        if (k.claimError) fakeusb_fail(dev, FAKEUSB_OP_CLAIM, k.claimError, 1);
        EXPECT_EQ(open(), k.expected);
        EXPECT_EQ(stream_, nullptr);
        EXPECT_EQ(fakeusb_open_handles(), 0u);
    }

    // Another program holding the interface.
    fakeusb_reset();
    fakeusb_device_config c = config();
    c.decoy_interfaces = 2;
    fakeusb_add_device(&c);
    ASSERT_EQ(open(), aErrNone);
    aStream* second = nullptr;
    EXPECT_EQ(aStream_CreateUSB(serial_, &second), aErrBusy);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(syncs(stream_));
}

TEST_F(UsbStream, ChunksWritesAtTheMaximumPacketSizeButNever512) {
    struct Case {
        uint16_t maxPacket;
        std::vector<int> chunks;
    } cases[] = {
        {512, {511, 489}},
        {64,
         [] {
             std::vector<int> v(15, 64);
             v.push_back(40);
             return v;
         }()},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.maxPacket);
        fakeusb_reset();
        serial_ = nextSerial();
        fakeusb_device* dev = plug(k.maxPacket);
        ASSERT_EQ(open(), aErrNone);
        const uint64_t mark = sim_.mark();
        const auto packets = packetsOf(1000);
        const tfsim::Bytes bytes = tfsim::wire(packets);
        ASSERT_EQ(bytes.size(), 1000u);
        EXPECT_EQ(aStream_Write(stream_, bytes.data(), bytes.size()), aErrNone);

        std::vector<int> lengths;
        for (const auto& t : transfersTo(dev, kOut)) {
            EXPECT_EQ(t.timeout, 50u);
            lengths.push_back(t.length);
        }
        EXPECT_EQ(lengths, k.chunks);
        ASSERT_TRUE(sim_.waitForPackets(packets.size(), 5s, tfsim::match::prefix(kAddress), mark));
        EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    }
}

TEST_F(UsbStream, TimedOutChunkContinuesAfterTheBytesItMoved) {
    fakeusb_device* dev = plug(64);
    ASSERT_EQ(open(), aErrNone);
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_OUT, LIBUSB_ERROR_TIMEOUT, 20, 1);
    const auto packets = packetsOf(100);
    const tfsim::Bytes bytes = tfsim::wire(packets);
    EXPECT_EQ(aStream_Write(stream_, bytes.data(), bytes.size()), aErrNone);

    std::vector<int> lengths;
    for (const auto& t : transfersTo(dev, kOut))
        lengths.push_back(t.length);
    EXPECT_EQ(lengths, (std::vector<int>{64, 64, 16}));
    ASSERT_TRUE(sim_.waitForPackets(packets.size(), 5s, tfsim::match::prefix(kAddress)));
    std::this_thread::sleep_for(50ms); // duplicates, if any, would arrive right behind
    EXPECT_EQ(receivedFromHost(sim_), packets);
    EXPECT_TRUE(syncs(stream_));
}

TEST_F(UsbStream, ZeroMaximumPacketSizeFailsTheWriteInsteadOfLooping) {
    fakeusb_device* dev = plug(0);
    ASSERT_EQ(open(), aErrNone);
    const uint8_t sync[] = {0xAD, 0x00};
    EXPECT_EQ(aStream_Write(stream_, sync, sizeof sync), aErrWrite);
    EXPECT_EQ(transfersTo(dev, kOut).size(), 10u);
}

TEST_F(UsbStream, TenFailedTransfersFailTheWriteAndTheNextOneWorks) {
    fakeusb_device* dev = plug();
    ASSERT_EQ(open(), aErrNone);
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_OUT, LIBUSB_ERROR_OTHER, 0, 10);
    const uint8_t sync[] = {0xAD, 0x00};
    EXPECT_EQ(aStream_Write(stream_, sync, sizeof sync), aErrWrite);
    EXPECT_EQ(transfersTo(dev, kOut).size(), 10u);
    EXPECT_TRUE(syncs(stream_));
}

TEST_F(UsbStream, ToleratesFourIoErrorsInARowAndFailsForGoodAtTheFifth) {
    fakeusb_device* dev = plug();
    ASSERT_EQ(open(), aErrNone);
    // Three errors, a success, three errors: the success starts the count again.
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_IN, LIBUSB_ERROR_IO, 0, 3);
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_IN, 0, 0, 1);
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_IN, LIBUSB_ERROR_IO, 0, 4);
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_IN, LIBUSB_ERROR_IO, 0, 1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(get(stream_), aErrNotReady) << i;
    moduleSends({0x5A});
    uint8_t byte = 0;
    EXPECT_EQ(get(stream_, &byte), aErrNone);
    EXPECT_EQ(byte, 0x5A);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(get(stream_), aErrNotReady) << i;
    EXPECT_EQ(get(stream_), aErrIO);

    // Failed for good: no more transfers, and the 8-bit count never wraps to "tolerated".
    const size_t transfers = transfersTo(dev, kIn).size();
    int notFailed = 0;
    for (int i = 0; i < 600; ++i)
        notFailed += get(stream_) != aErrIO;
    EXPECT_EQ(notFailed, 0);
    const uint8_t sync[] = {0xAD, 0x00};
    EXPECT_EQ(aStream_Write(stream_, sync, sizeof sync), aErrIO);
    EXPECT_EQ(transfersTo(dev, kIn).size(), transfers);
    EXPECT_TRUE(transfersTo(dev, kOut).empty());
}

// Failed stays failed: a byte still buffered when the device fails is not handed out, and
// handing it out must not count the device back to "tolerated" (four writes then dropped
// without a word).
TEST_F(UsbStream, FailedDeviceStaysFailedWithBytesStillBuffered) {
    fakeusb_device* dev = plug();
    tfusb_device* device = tfusb_create_usb(TFUSB_BACKEND_LIBUSB);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(tfusb_open_tessaform_device(device, hex(serial_).c_str()), aErrNone);
    moduleSends({0x5A, 0x5B, 0x5C, 0x5D});
    uint8_t byte = 0;
    ASSERT_EQ(tfusb_get_from_device(device, &byte), aErrNone);
    ASSERT_GT(device->avail, 0u) << "the module's bytes came in one transfer";

    // The writer fails the device: its endpoint stalls and cannot be cleared.
    fakeusb_fail(dev, FAKEUSB_OP_CLEAR_HALT, LIBUSB_ERROR_IO, -1);
    fakeusb_stall(dev, kOut);
    const uint8_t sync[] = {0xAD, 0x00};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tfusb_write_to_device(device, sync, sizeof sync), aErrNone) << i;
    EXPECT_EQ(tfusb_write_to_device(device, sync, sizeof sync), aErrIO);

    EXPECT_EQ(tfusb_get_from_device(device, &byte), aErrIO);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tfusb_write_to_device(device, sync, sizeof sync), aErrIO) << i;
    EXPECT_EQ(device->state, TFUSB_STATE_FAILED);
    EXPECT_EQ(tfusb_close_tessaform_device(device), aErrNone);
    EXPECT_EQ(tfusb_destroy(&device), aErrNone);
}

TEST_F(UsbStream, ClearsStalledEndpoints) {
    fakeusb_device* dev = plug();
    ASSERT_EQ(open(), aErrNone);

    fakeusb_stall(dev, kIn);
    EXPECT_EQ(get(stream_), aErrNotReady);
    EXPECT_EQ(fakeusb_call_count(dev, FAKEUSB_OP_CLEAR_HALT), 1u);

    // A stalled write is retried after the clear; its bytes arrive once.
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_OUT, LIBUSB_ERROR_PIPE, 0, 1);
    EXPECT_TRUE(syncs(stream_));
    EXPECT_EQ(fakeusb_call_count(dev, FAKEUSB_OP_CLEAR_HALT), 2u);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sim_.received().size(), 1u); // the sync, once
}

TEST_F(UsbStream, EndpointThatCannotBeUnstalledFailsTheDevice) {
    struct Case {
        const char* what;
        bool write;
    } cases[] = {{"read", false}, {"write", true}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        fakeusb_reset();
        serial_ = nextSerial();
        fakeusb_device* dev = plug();
        ASSERT_EQ(open(), aErrNone);
        fakeusb_fail(dev, FAKEUSB_OP_CLEAR_HALT, LIBUSB_ERROR_IO, -1);
        fakeusb_stall(dev, k.write ? kOut : kIn);
        const uint8_t sync[] = {0xAD, 0x00};
        auto once = [&] {
            return k.write ? aStream_Write(stream_, sync, sizeof sync) : get(stream_);
        };
        const aErr tolerated = k.write ? aErrNone : aErrNotReady;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(once(), tolerated) << i;
        EXPECT_EQ(once(), aErrIO);
        EXPECT_EQ(once(), aErrIO);
        EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    }
}

TEST_F(UsbStream, DeviceGoneUnderTheStreamFailsIt) {
    fakeusb_device* dev = plug();
    ASSERT_EQ(open(), aErrNone);
    fakeusb_unplug(dev);
    aErr err = aErrNone;
    for (int i = 0; i < 10 && err != aErrIO; ++i)
        err = get(stream_);
    EXPECT_EQ(err, aErrIO);
}

// A link reads on one thread and writes on another through the same device.
TEST_F(UsbStream, ReadsAndWritesAtOnce) {
    plug();
    ASSERT_EQ(open(), aErrNone);
    constexpr int kSyncs = 200;
    std::vector<uint8_t> answers;
    std::thread reader([&] { answers = readBytes(stream_, 2 * kSyncs, 10s); });
    const uint8_t sync[] = {0xAD, 0x00};
    int written = 0;
    for (int i = 0; i < kSyncs; ++i)
        written += aStream_Write(stream_, sync, sizeof sync) == aErrNone;
    reader.join();
    EXPECT_EQ(written, kSyncs);
    std::vector<uint8_t> expected;
    for (int i = 0; i < kSyncs; ++i)
        expected.insert(expected.end(), {kAddress, 0x00});
    EXPECT_EQ(answers, expected);
}

TEST_F(UsbStream, ContextReleasedBetweenAttemptsIsCreatedAgain) {
    plug();
    ASSERT_EQ(open(), aErrNone);
    ASSERT_EQ(aStream_Destroy(&stream_), aErrNone);

    Tessaform_libusb_exit();
    const unsigned inits = fakeusb_init_count();
    ASSERT_EQ(open(), aErrNone);
    EXPECT_EQ(fakeusb_init_count(), inits + 1);
    EXPECT_TRUE(syncs(stream_));
    ASSERT_EQ(aStream_Destroy(&stream_), aErrNone);

    // No context at all: no device, and libusb never sees a NULL context.
    Tessaform_libusb_exit();
    fakeusb_fail(nullptr, FAKEUSB_OP_INIT, LIBUSB_ERROR_OTHER, -1);
    EXPECT_EQ(open(), aErrNotFound);
    EXPECT_EQ(stream_, nullptr);
    EXPECT_EQ(fakeusb_live_device_lists(), 0u);
    fakeusb_fail(nullptr, FAKEUSB_OP_INIT, 0, 0);
    ASSERT_EQ(open(), aErrNone);
    EXPECT_TRUE(syncs(stream_));
}

TEST(UsbDevice, RefusesOperationsOfTheOtherBackEndAndOfAClosedDevice) {
    tfusb_device* kernel = tfusb_create_usb(TFUSB_BACKEND_KERNEL);
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(kernel->fd, -1);
    EXPECT_EQ(kernel->state, TFUSB_STATE_CREATED);
    uint8_t byte = 0;
    const uint8_t data[2] = {1, 2};
    EXPECT_EQ(tfusb_get_from_device(kernel, &byte), aErrMode);
    EXPECT_EQ(tfusb_write_to_device(kernel, data, 2), aErrMode);
    EXPECT_EQ(tfusb_close_tessaform_device(kernel), aErrNone);

    tfusb_device* usb = tfusb_create_usb(TFUSB_BACKEND_LIBUSB);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->readPtr, usb->readBuffer);
    EXPECT_EQ(tfusb_get_from_device(usb, &byte), aErrNotReady);
    EXPECT_EQ(tfusb_write_to_device(usb, data, 2), aErrNotReady);
    EXPECT_EQ(tfusb_close_tessaform_device(usb), aErrMode);
    usb->state = TFUSB_STATE_CLOSED;
    EXPECT_EQ(tfusb_get_from_device(usb, &byte), aErrConnection);
    EXPECT_EQ(tfusb_write_to_device(usb, data, 2), aErrConnection);

    EXPECT_EQ(tfusb_destroy(&kernel), aErrNone);
    EXPECT_EQ(kernel, nullptr);
    EXPECT_EQ(tfusb_destroy(&kernel), aErrParam);
    EXPECT_EQ(tfusb_destroy(&usb), aErrNone);
}

// The kernel driver's node, played by a raw pty with the simulator on its master.
class UsbKernelNode : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "creating /dev/tessaform.* needs root";
        fakeusb_reset();
        serial_ = nextSerial() | 0x00800000u;
        path_ = "/dev/tessaform." + hex(serial_);
        sim_ =
            std::make_unique<tfsim::Module>(tfsim::Config{.address = kAddress},
                                            std::make_unique<tfsim::PtyEndpoint>(tfsim::PtyOptions{
                                                .framing = tfsim::PtyFraming::Raw}));
        ::unlink(path_.c_str());
        ASSERT_EQ(::symlink(sim_->slavePath().c_str(), path_.c_str()), 0) << path_;
        // A module on the bus with the same serial number must be left alone.
        fakeusb_device_config c;
        serialText_ = hex(serial_);
        fakeusb_config_init(&c, aTESSAFORM_USB_VENDOR_ID, 0x0100, serialText_.c_str());
        usbTwin_ = fakeusb_add_device(&c);
    }

    void TearDown() override {
        if (stream_) {
            EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
        }
        if (!path_.empty()) ::unlink(path_.c_str());
        if (usbTwin_) {
            EXPECT_EQ(fakeusb_call_count(usbTwin_, FAKEUSB_OP_OPEN), 0u);
        }
    }

    static uint64_t threadCpuMs() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<uint64_t>(t.tv_sec) * 1000u +
               static_cast<uint64_t>(t.tv_nsec) / 1000000u;
    }

    uint32_t serial_ = 0;
    std::string path_;
    std::string serialText_;
    std::unique_ptr<tfsim::Module> sim_;
    fakeusb_device* usbTwin_ = nullptr;
    aStream* stream_ = nullptr;
};

TEST_F(UsbKernelNode, UsesTheNodeAndNeverTouchesLibusb) {
    Tessaform_libusb_exit();
    const unsigned inits = fakeusb_init_count();
    EXPECT_TRUE(tfusb_is_kernel_driver_installed(serial_));
    ASSERT_EQ(aStream_CreateUSB(serial_, &stream_), aErrNone);
    EXPECT_TRUE(syncs(stream_));

    const auto packets = packetsOf(300);
    const tfsim::Bytes bytes = tfsim::wire(packets);
    EXPECT_EQ(aStream_Write(stream_, bytes.data(), bytes.size()), aErrNone);
    ASSERT_TRUE(sim_->waitForPackets(packets.size(), 5s, tfsim::match::prefix(kAddress)));
    EXPECT_EQ(receivedFromHost(*sim_), packets);

    EXPECT_EQ(fakeusb_init_count(), inits);
    EXPECT_EQ(fakeusb_open_handles(), 0u);
}

TEST_F(UsbKernelNode, IdleReadWaitsASecondWithoutSpinning) {
    ASSERT_EQ(aStream_CreateUSB(serial_, &stream_), aErrNone);
    const auto start = Clock::now();
    const uint64_t cpu = threadCpuMs();
    EXPECT_EQ(get(stream_), aErrNotReady);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(threadCpuMs() - cpu, 200u);

    // A byte that arrives during the wait ends it.
    std::thread later([&] {
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(sim_->sendRaw({0x33}));
    });
    uint8_t byte = 0;
    EXPECT_EQ(get(stream_, &byte), aErrNone);
    EXPECT_EQ(byte, 0x33);
    later.join();
}

// A module that stops reading fills the node: the write gives up, as the libusb back end's
// timed-out transfers do, instead of holding the link's output thread for ever.
TEST_F(UsbKernelNode, WriteToAModuleThatStopsReadingGivesUp) {
    ASSERT_EQ(aStream_CreateUSB(serial_, &stream_), aErrNone);
    sim_->stopReading();
    const tfsim::Bytes block = tfsim::wire(packetsOf(256 * 1024));
    auto written = tftest::finishesWithin(
        10s, [&] { return aStream_Write(stream_, block.data(), block.size()); },
        [&] { sim_->resumeReading(); });
    ASSERT_TRUE(written) << "the write returned only once the module read again";
    EXPECT_EQ(*written, aErrWrite);
}

TEST_F(UsbKernelNode, HungUpNodeFailsTheReadAndClosesTwice) {
    tfusb_device* device = tfusb_create_usb(TFUSB_BACKEND_KERNEL);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(tfusb_open_tessaform_device(device, serialText_.c_str()), aErrNone);
    EXPECT_GE(device->fd, 0);
    ASSERT_TRUE(tftest::eventually([&] { return sim_->reset(100ms); }));
    uint8_t byte = 0;
    aErr err = aErrNone;
    for (int i = 0; i < 5 && err != aErrIO; ++i)
        err = tfusb_get_from_device(device, &byte);
    EXPECT_EQ(err, aErrIO);

    EXPECT_EQ(tfusb_close_tessaform_device(device), aErrNone);
    EXPECT_EQ(device->fd, -1);
    EXPECT_EQ(device->state, TFUSB_STATE_CLOSED);
    EXPECT_EQ(tfusb_close_tessaform_device(device), aErrNone);
    EXPECT_EQ(tfusb_get_from_device(device, &byte), aErrMode);
    EXPECT_EQ(tfusb_destroy(&device), aErrNone);
}

TEST_F(UsbKernelNode, MissingNodeIsAnIoError) {
    tfusb_device* device = tfusb_create_usb(TFUSB_BACKEND_KERNEL);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(tfusb_open_tessaform_device(device, "00000000"), aErrIO);
    EXPECT_EQ(device->fd, -1);
    EXPECT_EQ(tfusb_destroy(&device), aErrNone);
}

} // namespace
