// The boot ROM in a process of its own, found by the fake hidapi through FAKEHID_DEVICES, as
// a child updater will find it: the loader goes in and the jump is announced in a file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "ChildProcess.h"
#include "Eventually.h"
#include "HID_SDPLoader.h"
#include "SdpFixture.h"
#include "TempDir.h"
#include "fakehid.h"

namespace {

TEST(SdpProcess, LoaderReachesTheRomAndTheJumpIsAnnounced) {
    tftest::TempDir dir;
    const std::string socket = dir / "rom.sock", jumped = dir / "jumped";
    tftest::ChildProcess rom(SDPSIM_PROGRAM, {"--hid", socket, "--jump-file", jumped});
    auto where = rom.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(where.has_value());
    EXPECT_EQ(*where, "hid " + socket);
    // Read by the fake's first hid_init; this program never sets up devices itself.
    ASSERT_EQ(setenv("FAKEHID_DEVICES", ("1fc9:0130:" + socket).c_str(), 1), 0);

    {
        SDPLoader engine;
        ASSERT_TRUE(engine.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
        ASSERT_EQ(engine.init(), 0);
        ASSERT_EQ(engine.writeLoader(sdptest::image(5000), 0x20000000), 0);
        engine.startLoader(0x20001234);
    }
    EXPECT_TRUE(tftest::eventually([&] { return tftest::readFile(jumped) == "0x20001234\n"; }));
    // Using the fake also keeps the linker from dropping it in favour of the real library.
    EXPECT_EQ(fakehid_open_handles(), 0u);
    EXPECT_EQ(fakehid_misuse_count(), 0u);
}

} // namespace
