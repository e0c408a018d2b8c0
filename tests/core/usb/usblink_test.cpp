// USB links end to end: the fake libusb carries the byte stream to a simulated module.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Bounded.h"
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

// The kernel driver's node, played by a raw pty with the simulator on its master.
class UsbLinkKernelNode : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "creating /dev/tessaform.* needs root";
        fakeusb_reset();
        static uint32_t serials = 0x5CF00000u | ((static_cast<uint32_t>(getpid()) & 0xFFFu) << 4);
        serial = ++serials;
        path = "/dev/tessaform." + hex(serial);
        sim.onRequest(match::prefix(0x06, {0x17}), echo());
        ::unlink(path.c_str());
        ASSERT_EQ(::symlink(sim.slavePath().c_str(), path.c_str()), 0) << path;
    }
    void TearDown() override {
        if (id) aLink_Destroy(&id);
        if (!path.empty()) ::unlink(path.c_str());
    }

    tfsim::Module sim{
        tfsim::Config{.address = 0x06},
        std::make_unique<tfsim::PtyEndpoint>(tfsim::PtyOptions{.framing = tfsim::PtyFraming::Raw})};
    uint32_t serial = 0;
    std::string path;
    uint32_t id = 0;
};

TEST_F(UsbLinkKernelNode, UsesTheDriversNodeAndNeverLibusb) {
    unsigned inits = fakeusb_init_count();
    id = aLink_CreateUSB(serial);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    EXPECT_TRUE(exchanges(id, 0x06, 4));
    aLink_Destroy(&id);
    EXPECT_EQ(fakeusb_init_count(), inits) << "the node path never touches libusb";
}

// A module on the node that stops reading: the output thread's write must not hold the
// teardown for ever.
TEST_F(UsbLinkKernelNode, DestroyReturnsWhileTheModuleStopsReading) {
    id = aLink_CreateUSB(serial);
    ASSERT_NE(id, 0u);
    sim.stopReading();
    auto packet = makePacket(0x06, std::vector<uint8_t>(28, 0x40));
    for (int i = 0; i < 20000; i++)
        aLink_PutPacket(id, packet.get());
    std::this_thread::sleep_for(300ms); // the output thread fills the node
    auto destroyed = tftest::finishesWithin(
        10s, [&] { return aLink_Destroy(&id); }, [&] { sim.resumeReading(); });
    EXPECT_TRUE(destroyed) << "the teardown returned only once the module read again";
    EXPECT_EQ(destroyed.value_or(aErrUnknown), aErrNone);
}
