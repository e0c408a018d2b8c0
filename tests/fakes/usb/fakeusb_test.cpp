// The fake libusb used the way the product's USB code uses libusb, with the
// module simulator behind the bulk endpoints.
#include <gtest/gtest.h>

#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fakeusb.h"
#include "tfsim/Module.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tfsim::Bytes;
using tfsim::Packet;

constexpr uint16_t kVendor = 0x1C5A;
constexpr std::chrono::milliseconds kWait = 3000ms;

class FakeUsb : public ::testing::Test {
  protected:
    void SetUp() override {
        fakeusb_reset();
        ASSERT_EQ(libusb_init(&ctx_), 0);
    }
    void TearDown() override {
        for (libusb_device_handle* h : handles_)
            libusb_close(h);
        if (ctx_) libusb_exit(ctx_);
        // The fake's own bookkeeping balances when its client's does.
        EXPECT_EQ(fakeusb_open_handles(), 0u);
        EXPECT_EQ(fakeusb_live_device_lists(), 0u);
        EXPECT_EQ(fakeusb_live_config_descriptors(), 0u);
        EXPECT_EQ(fakeusb_misuse_count(), expectedMisuse_);
    }

    fakeusb_device* add(const char* serial, uint16_t pid = 0x0112, uint16_t port = 0) {
        fakeusb_device_config c;
        fakeusb_config_init(&c, kVendor, pid, serial);
        c.backing_port = port;
        return fakeusb_add_device(&c);
    }

    // Devices on the bus as (serial string, product id); serial "" when unreadable.
    std::vector<std::pair<std::string, uint16_t>> enumerate() {
        std::vector<std::pair<std::string, uint16_t>> found;
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(ctx_, &list);
        EXPECT_GE(n, 0);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            EXPECT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
            std::string serial;
            libusb_device_handle* h = nullptr;
            if (libusb_open(list[i], &h) == 0) {
                unsigned char buf[256] = {};
                if (libusb_get_string_descriptor_ascii(h, d.iSerialNumber, buf, sizeof buf) > 0)
                    serial = reinterpret_cast<char*>(buf);
                libusb_close(h);
            }
            found.emplace_back(serial, d.idProduct);
        }
        libusb_free_device_list(list, 1);
        return found;
    }

    // Opens the device with `serial` and claims its interface; null on failure.
    libusb_device_handle* openSerial(const std::string& serial, int* claim = nullptr) {
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(ctx_, &list);
        libusb_device_handle* found = nullptr;
        for (ssize_t i = 0; i < n && !found; ++i) {
            libusb_device_descriptor d{};
            libusb_device_handle* h = nullptr;
            if (libusb_get_device_descriptor(list[i], &d) != 0 || libusb_open(list[i], &h) != 0)
                continue;
            unsigned char buf[256] = {};
            libusb_get_string_descriptor_ascii(h, d.iSerialNumber, buf, sizeof buf);
            if (serial == reinterpret_cast<char*>(buf))
                found = h;
            else
                libusb_close(h);
        }
        libusb_free_device_list(list, 1);
        if (!found) return nullptr;
        int r = libusb_claim_interface(found, 0);
        if (claim) *claim = r;
        if (r != 0) {
            libusb_close(found);
            return nullptr;
        }
        handles_.push_back(found);
        return found;
    }

    void close(libusb_device_handle* h) {
        libusb_release_interface(h, 0);
        libusb_close(h);
        std::erase(handles_, h);
    }

    libusb_context* ctx_ = nullptr;
    std::vector<libusb_device_handle*> handles_;
    unsigned expectedMisuse_ = 0;
};

int out(libusb_device_handle* h, Bytes bytes, int* moved, unsigned timeout = 1000) {
    return libusb_bulk_transfer(h, 0x01, bytes.data(), static_cast<int>(bytes.size()), moved,
                                timeout);
}

// Reads until `want` bytes arrived or a transfer fails.
Bytes in(libusb_device_handle* h, size_t want, unsigned timeout = 1000) {
    Bytes got;
    unsigned char buf[1024];
    while (got.size() < want) {
        int n = 0;
        if (libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, timeout) != 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

TEST_F(FakeUsb, PresentsTheConfiguredDescriptors) {
    struct Case {
        const char* name;
        uint8_t decoys;
        fakeusb_endpoint_config inEp, outEp;
    };
    const Case cases[] = {
        {"bulk 64",
         0,
         {0x81, LIBUSB_TRANSFER_TYPE_BULK, 64},
         {0x01, LIBUSB_TRANSFER_TYPE_BULK, 64}},
        {"interrupt after decoys",
         2,
         {0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 512},
         {0x04, LIBUSB_TRANSFER_TYPE_INTERRUPT, 512}},
        {"max packet 0",
         0,
         {0x81, LIBUSB_TRANSFER_TYPE_BULK, 0},
         {0x02, LIBUSB_TRANSFER_TYPE_BULK, 0}},
        {"no OUT endpoint", 0, {0x81, LIBUSB_TRANSFER_TYPE_BULK, 64}, {0, 0, 0}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        fakeusb_reset();
        fakeusb_device_config c;
        fakeusb_config_init(&c, kVendor, 0x8112, "40F5849A");
        c.bcd_device = 0x0203;
        c.decoy_interfaces = k.decoys;
        c.in = k.inEp;
        c.out = k.outEp;
        fakeusb_add_device(&c);

        libusb_device** list = nullptr;
        ASSERT_EQ(libusb_get_device_list(ctx_, &list), 1);
        libusb_device* dev = list[0];
        libusb_device_descriptor d{};
        ASSERT_EQ(libusb_get_device_descriptor(dev, &d), 0);
        EXPECT_EQ(d.idVendor, kVendor);
        EXPECT_EQ(d.idProduct, 0x8112); // bit 15 is the product's business
        EXPECT_EQ(d.bcdDevice, 0x0203);
        EXPECT_EQ(d.bNumConfigurations, 1);
        EXPECT_NE(d.iSerialNumber, 0);
        EXPECT_EQ(libusb_get_bus_number(dev), 1);
        EXPECT_NE(libusb_get_device_address(dev), 0);

        libusb_config_descriptor* cfg = nullptr;
        ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &cfg), 0);
        EXPECT_EQ(libusb_get_config_descriptor(dev, 1, &cfg), LIBUSB_ERROR_NOT_FOUND);
        ASSERT_EQ(cfg->bNumInterfaces, k.decoys + 1);
        // The walk a client makes: every interface, every setting, every endpoint.
        int vendorSettings = 0;
        std::vector<libusb_endpoint_descriptor> eps;
        for (int i = 0; i < cfg->bNumInterfaces; ++i)
            for (int a = 0; a < cfg->interface[i].num_altsetting; ++a) {
                const libusb_interface_descriptor& s = cfg->interface[i].altsetting[a];
                if (s.bInterfaceClass != 0xFF) {
                    EXPECT_EQ(s.bNumEndpoints, 2);
                    continue;
                }
                ++vendorSettings;
                EXPECT_EQ(s.bInterfaceNumber, 0);
                EXPECT_EQ(s.bInterfaceSubClass, 0x88);
                EXPECT_EQ(s.bInterfaceProtocol, 0x10);
                eps.assign(s.endpoint, s.endpoint + s.bNumEndpoints);
            }
        libusb_free_config_descriptor(cfg);
        EXPECT_EQ(vendorSettings, 1);
        std::vector<fakeusb_endpoint_config> want{k.inEp};
        if (k.outEp.address) want.push_back(k.outEp);
        ASSERT_EQ(eps.size(), want.size());
        for (size_t i = 0; i < eps.size(); ++i) {
            EXPECT_EQ(eps[i].bEndpointAddress, want[i].address);
            EXPECT_EQ(eps[i].bmAttributes, want[i].attributes);
            EXPECT_EQ(eps[i].wMaxPacketSize, want[i].max_packet_size);
            EXPECT_EQ(libusb_get_max_packet_size(dev, want[i].address), want[i].max_packet_size);
        }
        EXPECT_EQ(libusb_get_max_packet_size(dev, 0x85), LIBUSB_ERROR_NOT_FOUND);
        libusb_free_device_list(list, 1);
    }
}

TEST_F(FakeUsb, SerialStringIsReturnedAsConfiguredAndCutToTheBuffer) {
    add("40f5849a");
    fakeusb_device_config c;
    fakeusb_config_init(&c, kVendor, 0x0113, nullptr);
    fakeusb_add_device(&c);

    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx_, &list), 2);
    libusb_device_descriptor d{};
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    unsigned char buf[32];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, d.iSerialNumber, buf, sizeof buf), 8);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "40f5849a"); // lower case kept
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, d.iSerialNumber, buf, 5), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "40f5");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 0, buf, sizeof buf),
              LIBUSB_ERROR_INVALID_PARAM);
    libusb_close(h);

    ASSERT_EQ(libusb_get_device_descriptor(list[1], &d), 0);
    EXPECT_EQ(d.iSerialNumber, 0);
    ASSERT_EQ(libusb_open(list[1], &h), 0);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, buf, sizeof buf), LIBUSB_ERROR_PIPE);
    libusb_close(h);
    libusb_free_device_list(list, 1);
}

TEST_F(FakeUsb, ScriptedOpenDescriptorAndClaimFailures) {
    struct Case {
        fakeusb_op op;
        int error;
    };
    const Case cases[] = {
        {FAKEUSB_OP_OPEN, LIBUSB_ERROR_ACCESS},
        {FAKEUSB_OP_DEVICE_DESCRIPTOR, LIBUSB_ERROR_IO},
        {FAKEUSB_OP_STRING_DESCRIPTOR, LIBUSB_ERROR_PIPE},
        {FAKEUSB_OP_CLAIM, LIBUSB_ERROR_BUSY},
        {FAKEUSB_OP_CLAIM, LIBUSB_ERROR_ACCESS},
        {FAKEUSB_OP_CLAIM, LIBUSB_ERROR_NO_DEVICE},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(libusb_error_name(k.error));
        fakeusb_reset();
        fakeusb_device* dev = add("0000ABCD");
        fakeusb_fail(dev, k.op, k.error, 1);
        int claim = 0;
        libusb_device_handle* h = openSerial("0000ABCD", &claim);
        EXPECT_EQ(h, nullptr);
        if (k.op == FAKEUSB_OP_CLAIM) {
            EXPECT_EQ(claim, k.error);
        }
        // One time only: the next attempt succeeds.
        h = openSerial("0000ABCD", &claim);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(fakeusb_call_count(dev, k.op), 2u);
        close(h);
    }
}

TEST_F(FakeUsb, InterfaceIsClaimedByOneHandleAtATime) {
    add("00000001");
    libusb_device_handle* first = openSerial("00000001");
    ASSERT_NE(first, nullptr);
    int claim = 0;
    EXPECT_EQ(openSerial("00000001", &claim), nullptr);
    EXPECT_EQ(claim, LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(first, 7), LIBUSB_ERROR_NOT_FOUND);
    close(first);
    EXPECT_NE(openSerial("00000001"), nullptr);
}

TEST_F(FakeUsb, BulkTransfersCarryTheStreamToTheSimulatorAndBack) {
    tfsim::Module sim({.address = 0x06});
    fakeusb_device* dev = add("0000BEEF", 0x0112, sim.port());
    libusb_device_handle* h = openSerial("0000BEEF");
    ASSERT_NE(h, nullptr);

    int moved = -1;
    ASSERT_EQ(out(h, Packet{0xAD, {}}.wire(), &moved), 0);
    EXPECT_EQ(moved, 2);
    EXPECT_EQ(in(h, 2), (Bytes{0x06, 0x00}));
    ASSERT_TRUE(sim.waitForPacket(tfsim::match::sync(), kWait));

    // A zero-length OUT transfer (what a max packet size of 0 leads to) moves nothing.
    ASSERT_EQ(out(h, {}, &moved, 50), 0);
    EXPECT_EQ(moved, 0);

    std::vector<fakeusb_transfer> log(8);
    log.resize(std::min(log.size(), fakeusb_transfers(dev, log.data(), log.size())));
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0].endpoint, 0x01);
    EXPECT_EQ(log[0].length, 2);
    EXPECT_EQ(log[0].timeout, 1000u);
    EXPECT_EQ(log[1].endpoint, 0x81);
    EXPECT_EQ(log[1].length, 1024);
    EXPECT_EQ(log.back().length, 0);
    EXPECT_EQ(log.back().timeout, 50u);

    // Transfers off the claimed interface's endpoints are refused and flagged.
    unsigned char b[4];
    EXPECT_EQ(libusb_bulk_transfer(h, 0x82, b, 4, &moved, 10), LIBUSB_ERROR_INVALID_PARAM);
    expectedMisuse_ = 1;
}

TEST_F(FakeUsb, InTransferWaitsForDataUpToItsTimeout) {
    tfsim::Module sim({.address = 0x06});
    add("00000002", 0x0112, sim.port());
    libusb_device_handle* h = openSerial("00000002");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(sim.waitForConnection(1, kWait));
    unsigned char buf[1024];
    int n = -1;

    auto start = Clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 200), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 195ms);
    EXPECT_EQ(n, 0);

    // Bytes that arrive during the wait end it.
    auto later = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(sim.sendRaw({1, 2, 3}));
    });
    start = Clock::now();
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 10000), 0);
    EXPECT_LT(Clock::now() - start, 5000ms);
    EXPECT_EQ(n, 3);
}

TEST_F(FakeUsb, ScriptedTransferFaults) {
    tfsim::Module sim({.address = 0x06});
    fakeusb_device* dev = add("00000003", 0x0112, sim.port());
    libusb_device_handle* h = openSerial("00000003");
    ASSERT_NE(h, nullptr);
    int n = -1;
    const Bytes sync = Packet{0xAD, {}}.wire();

    // OUT time-out after one byte: that byte reached the module; the time-out was sat out.
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_OUT, LIBUSB_ERROR_TIMEOUT, 1, 1);
    auto start = Clock::now();
    EXPECT_EQ(out(h, sync, &n, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 95ms);
    EXPECT_EQ(n, 1);
    ASSERT_EQ(out(h, {0x00}, &n), 0); // completes the sync on the stream
    EXPECT_EQ(in(h, 2), (Bytes{0x06, 0x00}));

    // IN time-out that delivers part of what the module sent.
    ASSERT_TRUE(sim.sendRaw({9, 8, 7, 6}));
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_IN, LIBUSB_ERROR_TIMEOUT, 3, 1);
    unsigned char buf[1024];
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 100), LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{9, 8, 7}));
    EXPECT_EQ(in(h, 1), (Bytes{6}));

    // I/O errors with a success between them, in script order.
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_OUT, LIBUSB_ERROR_IO, 0, 2);
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_OUT, 0, 0, 1);
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_OUT, LIBUSB_ERROR_IO, 0, 1);
    std::vector<int> results;
    for (int i = 0; i < 5; ++i)
        results.push_back(out(h, sync, &n));
    EXPECT_EQ(results, (std::vector<int>{LIBUSB_ERROR_IO, LIBUSB_ERROR_IO, 0, LIBUSB_ERROR_IO, 0}));
    EXPECT_EQ(in(h, 4), (Bytes{0x06, 0x00, 0x06, 0x00}));

    // A stall lasts until the halt is cleared; a failed clear leaves it.
    fakeusb_script_transfer(dev, FAKEUSB_OP_BULK_IN, LIBUSB_ERROR_PIPE, 0, 1);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 100), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(out(h, sync, &n), 0); // the other direction is not stalled
    fakeusb_fail(dev, FAKEUSB_OP_CLEAR_HALT, LIBUSB_ERROR_IO, 1);
    EXPECT_EQ(libusb_clear_halt(h, 0x81), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(h, 0x81), 0);
    EXPECT_EQ(in(h, 2), (Bytes{0x06, 0x00}));
    fakeusb_stall(dev, 0x01);
    EXPECT_EQ(out(h, sync, &n), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(h, 0x01), 0);
    EXPECT_EQ(out(h, sync, &n), 0);
    EXPECT_EQ(fakeusb_call_count(dev, FAKEUSB_OP_CLEAR_HALT), 3u);
}

TEST_F(FakeUsb, UnpluggedDeviceWakesItsTransfersAndReturnsAsANewDevice) {
    tfsim::Module sim({.address = 0x06});
    fakeusb_device* dev = add("00000004", 0x0112, sim.port());
    libusb_device_handle* h = openSerial("00000004");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(sim.waitForConnection(1, kWait));
    const uint8_t address = libusb_get_device_address(libusb_get_device(h));

    auto blocked = std::async(std::launch::async, [h] {
        unsigned char buf[1024];
        int n = 0;
        return libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 0); // no time-out
    });
    std::this_thread::sleep_for(100ms);
    fakeusb_unplug(dev);
    ASSERT_EQ(blocked.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(blocked.get(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(sim.journal().waitForLinkEvent(tfsim::LinkEventKind::PeerClosed, kWait));
    int n = 0;
    EXPECT_EQ(out(h, {0xAD, 0x00}, &n), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(h, 0x81), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(enumerate().empty());

    // Back from a reboot, as a loader with another product id.
    fakeusb_device_config c;
    fakeusb_config_init(&c, kVendor, 0x0001, "00000004");
    c.backing_port = sim.port();
    fakeusb_reconfigure(dev, &c);
    fakeusb_plug(dev);
    EXPECT_EQ(enumerate(), (std::vector<std::pair<std::string, uint16_t>>{{"00000004", 0x0001}}));
    EXPECT_EQ(out(h, {0xAD, 0x00}, &n), LIBUSB_ERROR_NO_DEVICE); // the old handle stays dead
    close(h);
    h = openSerial("00000004");
    ASSERT_NE(h, nullptr);
    EXPECT_NE(libusb_get_device_address(libusb_get_device(h)), address);
    ASSERT_TRUE(sim.waitForConnection(2, kWait));
    ASSERT_EQ(out(h, {0xAD, 0x00}, &n), 0);
    EXPECT_EQ(in(h, 2), (Bytes{0x06, 0x00}));

    // The simulator ending the stream is the device going away under its handle.
    ASSERT_TRUE(sim.reset());
    unsigned char buf[16];
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 1000), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(FakeUsb, CountsContextsAndFailsInitOnRequest) {
    EXPECT_EQ(fakeusb_init_count(), 1u);
    EXPECT_EQ(fakeusb_live_contexts(), 1u);
    libusb_exit(ctx_);
    ctx_ = nullptr;
    EXPECT_EQ(fakeusb_exit_count(), 1u);
    EXPECT_EQ(fakeusb_live_contexts(), 0u);

    fakeusb_fail(nullptr, FAKEUSB_OP_INIT, LIBUSB_ERROR_NO_MEM, 1);
    libusb_context* c = nullptr;
    EXPECT_EQ(libusb_init(&c), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(fakeusb_live_contexts(), 0u);
    ASSERT_EQ(libusb_init(&ctx_), 0); // a new context after the release
    EXPECT_EQ(fakeusb_init_count(), 3u);

    // The default context is shared and counted like libusb's.
    ASSERT_EQ(libusb_init(nullptr), 0);
    ASSERT_EQ(libusb_init(nullptr), 0);
    add("00000005");
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
    EXPECT_EQ(fakeusb_live_contexts(), 2u);
    libusb_exit(nullptr);
    EXPECT_EQ(fakeusb_live_contexts(), 1u);
    EXPECT_EQ(fakeusb_exit_count(), 3u);
}

} // namespace
