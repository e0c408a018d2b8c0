// USB links end to end: the fake libusb carries the byte stream to a simulated module.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "LinkFixture.h"
#include "Tessaform-C.h"
#include "aLinkManagerInternal.h"
#include "fakeusb.h"
#include "tfsim/PtyEndpoint.h"

using namespace linktest;
namespace match = tfsim::match;

namespace {

std::string hex(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

class UsbLink : public testing::Test {
  protected:
    void SetUp() override {
        fakeusb_reset();
        static uint32_t serials = 0x5C000000u | ((static_cast<uint32_t>(getpid()) & 0xFFFu) << 8);
        serial = ++serials;
        serialText = hex(serial);
        sim.onRequest(match::prefix(0x06, {0x17}), echo());
        fakeusb_device_config config;
        fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, 0x0100, serialText.c_str());
        config.backing_port = sim.port();
        device = fakeusb_add_device(&config);
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override {
        if (id) aLink_Destroy(&id);
        fakeusb_reset();
    }

    tfsim::Module sim{tfsim::Config{.address = 0x06}};
    uint32_t serial = 0;
    std::string serialText;
    fakeusb_device* device = nullptr;
    uint32_t id = 0;
};

} // namespace

TEST_F(UsbLink, ComesUpSyncedAndSharedBySerialNumber) {
    id = aLink_CreateUSB(serial);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_GE(sim.journal().syncsReceived(), 6u) << "a new USB link syncs before it is handed out";
    EXPECT_EQ(aLink_GetPacket(id), nullptr) << "the sync answers were drained";
    EXPECT_TRUE(exchanges(id, 0x06, 1));

    uint32_t second = aLink_CreateUSB(serial);
    EXPECT_EQ(second, id);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING) << "one holder remains";
    uint32_t last = id;
    EXPECT_EQ(aLink_Destroy(&last), aErrNone);
    EXPECT_EQ(sLookupEntryByIdentifier(serial, USB), nullptr);
    uint32_t stale = id;
    EXPECT_EQ(aLink_Destroy(&stale), aErrParam);
    id = 0;
}

TEST_F(UsbLink, ModuleThatDoesNotAnswerTheSyncIsRefused) {
    sim.setSilent(true);
    EXPECT_EQ(aLink_CreateUSB(serial), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(serial, USB), nullptr) << "no entry left";
}

TEST_F(UsbLink, ModuleNotOnTheBusIsRefused) {
    EXPECT_EQ(aLink_CreateUSB(serial + 0x100), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(serial + 0x100, USB), nullptr);
}

// A module rebooting: it leaves the bus, the link reports the stream failure, and once it
// is back a fresh context finds it again.
TEST_F(UsbLink, ModuleThatVanishesAndReappears) {
    id = aLink_CreateUSB(serial);
    ASSERT_NE(id, 0u);
    fakeusb_unplug(device);
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == aLINK_STATUS_IO_ERROR; }));
    aLink_Destroy(&id);

    unsigned initsBefore = fakeusb_init_count();
    Tessaform_libusb_exit();
    fakeusb_plug(device);
    id = aLink_CreateUSB(serial);
    ASSERT_NE(id, 0u);
    EXPECT_GT(fakeusb_init_count(), initsBefore) << "the context was made anew";
    EXPECT_TRUE(exchanges(id, 0x06, 2));
}

TEST_F(UsbLink, ResetReopensTheModule) {
    id = aLink_CreateUSB(serial);
    ASSERT_NE(id, 0u);
    uint32_t before = id;
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(id, before);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(eventually([&] { return exchanges(id, 0x06, 3); }));
}

TEST(UsbLinkKernelNode, UsesTheDriversNodeAndNeverLibusb) {
    if (geteuid() != 0) GTEST_SKIP() << "creating /dev/tessaform.* needs root";
    fakeusb_reset();
    const uint32_t serial = 0x5CF00000u | ((static_cast<uint32_t>(getpid()) & 0xFFFu) << 4);
    const std::string path = "/dev/tessaform." + hex(serial);
    tfsim::Module sim(
        tfsim::Config{.address = 0x06},
        std::make_unique<tfsim::PtyEndpoint>(tfsim::PtyOptions{.framing = tfsim::PtyFraming::Raw}));
    sim.onRequest(match::prefix(0x06, {0x17}), echo());
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink(sim.slavePath().c_str(), path.c_str()), 0) << path;
    unsigned inits = fakeusb_init_count();

    uint32_t id = aLink_CreateUSB(serial);
    EXPECT_NE(id, 0u);
    if (id) {
        EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
        EXPECT_TRUE(exchanges(id, 0x06, 4));
        aLink_Destroy(&id);
    }
    ::unlink(path.c_str());
    EXPECT_EQ(fakeusb_init_count(), inits) << "the node path never touches libusb";
}
