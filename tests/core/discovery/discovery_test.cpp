// Link specifiers, the search callbacks, the IPv4 helpers, and USB discovery over the fake
// libusb bus.
#include <gtest/gtest.h>

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "TestNetwork.h"
#include "Tessaform-C.h"
#include "discover.h"
#include "fakeusb.h"

namespace {

using disctest::ipv4;

// ---- linkSpec record ----------------------------------------------------------------------

// A packet server answers discovery with its linkSpec as it lies in memory; the 128 bytes
// that arrive must read as the fields they carry and be kept byte for byte.
TEST(LinkSpec, DiscoveryAnswerReadsFieldByFieldAndIsKeptByteForByte) {
    std::array<uint8_t, 128> answer{};
    const uint8_t head[] = {
        6,    0,    0,    0,    // type: a TCP/IP module behind a packet server
        0x9A, 0x84, 0xF5, 0x40, // serial number
        6,    0,    0,    0,    // module address
        0x0A, 0,    0,    0,    // router address
        0x44, 0x33, 0x22, 0x11, // router serial number
        0x12, 0,    0,    0,    // model
        127,  0,    0,    1,    // IPv4 address, network order
        0x28, 0x23, 0,    0,    // port 9000
    };
    std::memcpy(answer.data(), head, sizeof head);
    linkSpec received;
    static_assert(sizeof(received) == 128);
    std::memcpy(&received, answer.data(), answer.size()); // as a datagram lands in its buffer
    EXPECT_EQ(received.type, static_cast<linkType>(AWEAVE_TCPIP));
    EXPECT_EQ(received.serialNumber, 0x40F5849Au);
    EXPECT_EQ(received.moduleAddress, 6u);
    EXPECT_EQ(received.routerAddress, 0x0Au);
    EXPECT_EQ(received.routerSerialNumber, 0x11223344u);
    EXPECT_EQ(received.model, 0x12u);
    EXPECT_EQ(received.t.ip.ipAddress, ipv4("127.0.0.1"));
    EXPECT_EQ(received.t.ip.ipPort, 9000u);

    linkSpec* kept = aLinkSpec_Copy(received);
    ASSERT_NE(kept, nullptr);
    std::array<uint8_t, 128> again{};
    std::memcpy(again.data(), kept, sizeof(linkSpec));
    EXPECT_EQ(again, answer);
    aLinkSpec_Destroy(&kept);
}

TEST(LinkSpec, BytesAreLittleEndianWithTheAddressInNetworkOrder) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    spec->serialNumber = 0x40F5849A;
    spec->moduleAddress = 0x06;
    spec->routerAddress = 0x0A;
    spec->routerSerialNumber = 0x11223344;
    spec->model = 0x12;
    spec->t.ip.ipAddress = ipv4("10.77.0.2");
    spec->t.ip.ipPort = 8016;

    std::array<uint8_t, 128> expected{};
    const uint8_t head[] = {2,    0, 0,    0, 0x9A, 0x84, 0xF5, 0x40, 6,    0,
                            0,    0, 0x0A, 0, 0,    0,    0x44, 0x33, 0x22, 0x11,
                            0x12, 0, 0,    0, 10,   77,   0,    2,    0x50, 0x1F};
    std::memcpy(expected.data(), head, sizeof head);
    std::array<uint8_t, 128> actual{};
    std::memcpy(actual.data(), spec, sizeof(linkSpec));
    EXPECT_EQ(actual, expected);
    aLinkSpec_Destroy(&spec);
}

TEST(LinkSpec, CreateCopyAndDestroy) {
    linkSpec* made = aLinkSpec_Create(AWEAVE_SERIAL);
    ASSERT_NE(made, nullptr);
    std::array<uint8_t, 128> zeroExceptType{};
    zeroExceptType[0] = 7;
    EXPECT_EQ(std::memcmp(made, zeroExceptType.data(), 128), 0);

    made->serialNumber = 0xCAFE;
    made->t.serial.baudRate = 115200;
    std::strcpy(made->t.serial.portName, "/dev/ttyUSB0");
    made->t.serial.portName[99] = 'x'; // the last byte too
    linkSpec* copy = aLinkSpec_Copy(*made);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, made);
    EXPECT_EQ(std::memcmp(copy, made, 128), 0);

    EXPECT_EQ(aLinkSpec_Destroy(&made), aErrNone);
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&made), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}

// ---- search callbacks ---------------------------------------------------------------------

linkSpec filled(uint32_t serial) {
    linkSpec s{};
    s.type = USB;
    s.serialNumber = serial;
    s.model = 0x12;
    s.t.usb.usbId = serial;
    return s;
}

TEST(DiscoveryCallbacks, TakeTheWholeRecordOfTheModuleTheyWant) {
    struct Case {
        const char* name;
        aDiscoveryCallback callback;
        uint32_t wanted;
        uint32_t found;
        bool takes;
    };
    const Case cases[] = {
        {"serial matches", cbSNCallback, 0x1234, 0x1234, true},
        {"serial differs", cbSNCallback, 0x1234, 0x1235, false},
        {"serial 0 wanted and found", cbSNCallback, 0, 0, true},
        {"first with a serial", cbFirstCallback, 0, 0x99, true},
        {"first passes over serial 0", cbFirstCallback, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        linkSpec ref{};
        ref.type = TCPIP;
        ref.serialNumber = c.wanted;
        const linkSpec before = ref;
        const linkSpec found = filled(c.found);
        bool accepted = false;
        bool goOn = c.callback(&found, &accepted, &ref);
        EXPECT_EQ(goOn, !c.takes);
        EXPECT_EQ(accepted, c.takes);
        EXPECT_EQ(std::memcmp(&ref, c.takes ? &found : &before, sizeof(linkSpec)), 0);
    }
}

// ---- IPv4 helpers -------------------------------------------------------------------------

TEST(DiscoveryIPv4, ConvertNeedsRoomForEveryAddress) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("10.0.0.1"), buffer, 15), 0);
    for (char c : buffer)
        ASSERT_EQ(c, 'x') << "a short buffer is left untouched";

    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("10.0.0.1"), buffer, 20), 8);
    EXPECT_STREQ(buffer, "10.0.0.1");
    for (int i = 8; i < 20; i++)
        EXPECT_EQ(buffer[i], 0) << "cleared up to the length";
    for (int i = 20; i < 32; i++)
        EXPECT_EQ(buffer[i], 'x') << "nothing past the length";

    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("255.255.255.255"), buffer, 16), 15);
    EXPECT_STREQ(buffer, "255.255.255.255");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("1.2.3.4"), nullptr, 16), 0);
}

TEST(DiscoveryIPv4, InterfacesOfTheTestNamespace) {
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 4), 0);
    REQUIRE_TEST_NAMESPACE();

    std::array<uint32_t, 8> all{};
    int n = aDiscovery_GetIPv4Interfaces(all.data(), static_cast<int>(all.size()));
    std::vector<uint32_t> got(all.begin(), all.begin() + n);
    std::sort(got.begin(), got.end());
    std::vector<uint32_t> veth{ipv4("10.77.0.1"), ipv4("10.77.0.2")};
    std::sort(veth.begin(), veth.end());
    EXPECT_EQ(got, veth) << "loopback is not listed";

    std::array<uint32_t, 2> one{0xDEADBEEF, 0xDEADBEEF};
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(one.data(), 1), 1);
    EXPECT_TRUE(one[0] == veth[0] || one[0] == veth[1]);
    EXPECT_EQ(one[1], 0xDEADBEEF) << "nothing beyond the capacity";
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(one.data(), 0), 0);
}

// ---- USB ----------------------------------------------------------------------------------

struct Seen {
    std::vector<linkSpec> specs;
    // Which calls accept, by call number; empty accepts every one.
    std::vector<bool> accept;
    size_t stopAfter = SIZE_MAX;
};

bool collect(const linkSpec* spec, bool* accepted, void* ref) {
    auto* seen = static_cast<Seen*>(ref);
    EXPECT_FALSE(*accepted) << "accepted is cleared before each call";
    size_t call = seen->specs.size();
    seen->specs.push_back(*spec);
    *accepted = seen->accept.empty() || (call < seen->accept.size() && seen->accept[call]);
    return seen->specs.size() < seen->stopAfter;
}

class UsbDiscovery : public testing::Test {
  protected:
    void SetUp() override { fakeusb_reset(); }
    void TearDown() override {
        EXPECT_EQ(fakeusb_open_handles(), 0u) << "every opened device is closed";
        EXPECT_EQ(fakeusb_live_device_lists(), 0u);
        EXPECT_EQ(fakeusb_misuse_count(), 0u);
        fakeusb_reset();
    }

    static fakeusb_device* add(uint16_t vid, uint16_t pid, const char* serial) {
        fakeusb_device_config config;
        fakeusb_config_init(&config, vid, pid, serial);
        return fakeusb_add_device(&config);
    }
    static fakeusb_device* module(const char* serial, uint16_t pid = 0x0112) {
        return add(aTESSAFORM_USB_VENDOR_ID, pid, serial);
    }

    static Seen enumerate() {
        Seen seen;
        aDiscovery_EnumerateModules(USB, collect, &seen, 0);
        return seen;
    }
};

TEST_F(UsbDiscovery, ReportsOnlyModulesWhoseSerialTheTransportCanOpen) {
    struct Case {
        uint16_t vid;
        uint16_t pid;
        const char* serial;
        bool reported;
        uint32_t serialNumber;
        uint32_t model;
    };
    const Case cases[] = {
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "40F5849A", true, 0x40F5849A, 0x12},
        {aTESSAFORM_USB_VENDOR_ID, 0x7FFF, "0000BEEF", true, 0xBEEF, 0xFF},
        {aTESSAFORM_USB_VENDOR_ID, 0x0004, "00000000", true, 0, 0x04},
        {aTESSAFORM_USB_VENDOR_ID, 0x8112, "11111111", false, 0, 0}, // loader ids: bit 15
        {aTESSAFORM_USB_VENDOR_ID, 0xFFFF, "22222222", false, 0, 0},
        {0x1FC9, 0x0112, "33333333", false, 0, 0}, // another vendor
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "40f5849b", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "40F5849", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "40F5849CD", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "40F5849G", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "G0F5849A", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, " 0F5849A", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "+0F5849A", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "0x5849AB", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, "", false, 0, 0},
        {aTESSAFORM_USB_VENDOR_ID, 0x0112, nullptr, false, 0, 0},
    };
    for (const auto& c : cases)
        add(c.vid, c.pid, c.serial);

    Seen seen = enumerate();
    std::vector<const Case*> wanted;
    for (const auto& c : cases)
        if (c.reported) wanted.push_back(&c);
    ASSERT_EQ(seen.specs.size(), wanted.size());
    for (size_t i = 0; i < wanted.size(); i++) {
        SCOPED_TRACE(wanted[i]->serial);
        linkSpec expected{};
        expected.type = USB;
        expected.serialNumber = wanted[i]->serialNumber;
        expected.model = wanted[i]->model;
        expected.t.usb.usbId = wanted[i]->serialNumber;
        EXPECT_EQ(std::memcmp(&seen.specs[i], &expected, sizeof(linkSpec)), 0)
            << "serial 0x" << std::hex << seen.specs[i].serialNumber;
    }
}

TEST_F(UsbDiscovery, LeavesOutDevicesThatCannotBeOpenedOrRead) {
    struct Case {
        fakeusb_op op;
        int error;
    };
    const Case cases[] = {
        {FAKEUSB_OP_OPEN, LIBUSB_ERROR_ACCESS},
        {FAKEUSB_OP_OPEN, LIBUSB_ERROR_BUSY},
        {FAKEUSB_OP_STRING_DESCRIPTOR, LIBUSB_ERROR_PIPE},
        {FAKEUSB_OP_STRING_DESCRIPTOR, LIBUSB_ERROR_TIMEOUT},
        {FAKEUSB_OP_DEVICE_DESCRIPTOR, LIBUSB_ERROR_IO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "op " << c.op << " error " << c.error);
        fakeusb_reset();
        module("0000000A");
        fakeusb_device* bad = module("0000000B");
        module("0000000C");
        fakeusb_fail(bad, c.op, c.error, -1);
        Seen seen = enumerate();
        ASSERT_EQ(seen.specs.size(), 2u);
        EXPECT_EQ(seen.specs[0].serialNumber, 0xAu);
        EXPECT_EQ(seen.specs[1].serialNumber, 0xCu);
        EXPECT_EQ(fakeusb_open_handles(), 0u);
    }
}

TEST_F(UsbDiscovery, CountsAcceptedModulesAndStopsWhenAsked) {
    fakeusb_device* devices[] = {module("00000001"), module("00000002"), module("00000003"),
                                 module("00000004")};
    struct Case {
        const char* name;
        std::vector<bool> accept;
        size_t stopAfter;
        uint8_t count;
        size_t calls;
    };
    const Case cases[] = {
        {"all", {}, SIZE_MAX, 4, 4},
        {"none", {false, false, false, false}, SIZE_MAX, 0, 4},
        {"every second", {false, true, false, true}, SIZE_MAX, 2, 4},
        {"first, then stop", {}, 1, 1, 1},
        {"stop without taking", {false, false}, 2, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned opensBefore = 0;
        for (auto* d : devices)
            opensBefore += fakeusb_call_count(d, FAKEUSB_OP_OPEN);
        Seen seen;
        seen.accept = c.accept;
        seen.stopAfter = c.stopAfter;
        EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &seen, 0), c.count);
        EXPECT_EQ(seen.specs.size(), c.calls);
        unsigned opens = 0;
        for (auto* d : devices)
            opens += fakeusb_call_count(d, FAKEUSB_OP_OPEN);
        EXPECT_EQ(opens - opensBefore, c.calls) << "no device is looked at after the stop";
    }
}

TEST_F(UsbDiscovery, OtherTypesNeverTouchTheBus) {
    fakeusb_device* device = module("40F5849A");
    for (linkType type : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 0x80000001u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        Seen seen;
        EXPECT_EQ(aDiscovery_EnumerateModules(type, collect, &seen, 0), 0);
        EXPECT_TRUE(seen.specs.empty());
        EXPECT_EQ(aDiscovery_FindFirstModule(type, 0), nullptr);
    }
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, 0), 0);
    EXPECT_EQ(fakeusb_call_count(device, FAKEUSB_OP_OPEN), 0u);
}

TEST_F(UsbDiscovery, FindModuleReturnsTheFoundRecordOrNothing) {
    module("00000000", 0x0001);
    module("0000BEEF", 0x0002);
    module("40F5849A", 0x0112);

    linkSpec* found = aDiscovery_FindModule(USB, 0x40F5849A, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, USB);
    EXPECT_EQ(found->serialNumber, 0x40F5849Au);
    EXPECT_EQ(found->t.usb.usbId, 0x40F5849Au);
    EXPECT_EQ(found->model, 0x12u);
    aLinkSpec_Destroy(&found);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x40F5849B, 0), nullptr);

    linkSpec* first = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->serialNumber, 0xBEEFu) << "serial 0 is passed over";
    EXPECT_EQ(first->model, 0x02u);
    aLinkSpec_Destroy(&first);
}

TEST_F(UsbDiscovery, FindFirstModuleWithOnlySerialZeroFindsNothing) {
    module("00000000");
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0), nullptr);
    linkSpec* zero = aDiscovery_FindModule(USB, 0, 0);
    EXPECT_NE(zero, nullptr) << "a search for serial 0 does find it";
    aLinkSpec_Destroy(&zero);
}

TEST_F(UsbDiscovery, WithoutAContextNothingIsReported) {
    fakeusb_device* device = module("40F5849A");
    Tessaform_libusb_exit();
    fakeusb_fail(nullptr, FAKEUSB_OP_INIT, LIBUSB_ERROR_NO_MEM, -1);
    Seen seen;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &seen, 0), 0);
    EXPECT_TRUE(seen.specs.empty());
    EXPECT_EQ(fakeusb_call_count(device, FAKEUSB_OP_OPEN), 0u)
        << "libusb's default context is never used in its place";

    fakeusb_fail(nullptr, FAKEUSB_OP_INIT, 0, 0);
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &seen, 0), 1)
        << "the next search makes the context";
}

} // namespace
