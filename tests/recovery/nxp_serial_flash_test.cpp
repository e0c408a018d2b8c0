// The LPC flashing road against the simulated boot ROM: the chip's flash ends up holding the
// image, and every failure ends with an error line the user sees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LpcFixture.h"
#include "NXPSerialFlash.h"

namespace {

using Bytes = std::vector<uint8_t>;

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool start) override { bars += start ? 1 : -1; }
    void update_progress(double fraction, const char*) override { last = fraction; }
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { infos.emplace_back(text); }
    void error_message(const char* text) override { errors.emplace_back(text); }

    std::vector<std::string> infos, errors;
    int bars = 0;
    double last = 0;
};

struct Image {
    std::vector<uint32_t> addresses;
    std::vector<Bytes> data;
    std::vector<NXPFirmwareBlock> blocks;
    void put(uint32_t address, Bytes bytes) {
        addresses.push_back(address);
        data.push_back(std::move(bytes));
        blocks.clear();
        for (size_t i = 0; i < data.size(); i++)
            blocks.push_back({addresses[i], data[i].data(), data[i].size()});
    }
};

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i * 13 + seed + (i >> 8));
    return b;
}

class LpcFlash : public tftest::LpcFixture {
  protected:
    // A chip whose flash and RAM hold leftovers, as after an earlier life.
    void startDirty(lpcsim::Faults faults = {}) {
        startSynced(std::move(faults));
        chip([](lpcsim::Chip& c) {
            std::fill(c.flashForTest().begin(), c.flashForTest().end(), 0x5A);
        });
        ASSERT_EQ(client.Write(0x10001000, 4096, pattern(4096, 99).data()), 0);
    }
    Bytes flash() {
        return chip([](lpcsim::Chip& c) { return c.flash(); });
    }
    RecordingDisplay display;
};

TEST_F(LpcFlash, TheChipsFlashEndsUpHoldingTheImage) {
    Image image;
    image.put(0x0000, pattern(10000, 1)); // three pieces, the last one short of a page
    image.put(0x10000, pattern(5000, 2)); // in the large sectors
    image.put(0x17D00, pattern(513, 3));  // its copy reaches into the next sector
    image.put(0x20000, Bytes(4, 0));      // the end marker
    image.put(0x30000, pattern(300, 4));  // after the marker: not written
    startDirty();

    ASSERT_TRUE(NXPSerialFlash(client, image.blocks, display));
    EXPECT_TRUE(display.errors.empty()) << display.errors.front();

    Bytes expected(lpcsim::kFlashSize, 0xFF);
    for (size_t i = 0; i < 3; i++)
        std::copy(image.data[i].begin(), image.data[i].end(),
                  expected.begin() + image.addresses[i]);
    EXPECT_TRUE(flash() == expected) << "the flash differs from the image";
    EXPECT_TRUE(chip([](lpcsim::Chip& c) { return c.running() && c.startAddress() == 0; }));
    EXPECT_TRUE(chip([](lpcsim::Chip& c) { return c.echo(); }));
    EXPECT_EQ(display.bars, 0);
    EXPECT_EQ(display.last, 1.0);
    EXPECT_EQ(display.infos.back(), "Rebooting Device");
    EXPECT_NE(std::find(display.infos.begin(), display.infos.end(),
                        "Transferred 4 blocks, 15513 total bytes"),
              display.infos.end());
    // 10000 bytes go as 4096, 4096 and 1808, each copied as a whole 4096-byte page run.
    auto sent = commands();
    std::vector<std::string> copies;
    for (const auto& line : sent)
        if (line[0] == 'C') copies.push_back(line);
    EXPECT_EQ(copies,
              (std::vector<std::string>{"C 0 268439552 4096", "C 4096 268439552 4096",
                                        "C 8192 268439552 4096", "C 65536 268439552 4096",
                                        "C 69632 268439552 1024", "C 97536 268439552 1024"}));
}

TEST_F(LpcFlash, NothingIsErasedWhenThereIsNothingToWrite) {
    const Bytes marker(4), firmware = pattern(64, 1);
    const std::vector<std::vector<NXPFirmwareBlock>> images = {
        {},
        {{0x0, firmware.data(), 0}},
        {{0x20000, marker.data(), 4}, {0x0, firmware.data(), 64}},
    };
    for (const auto& blocks : images) {
        startDirty();
        auto before = commands().size();
        display.errors.clear();
        EXPECT_FALSE(NXPSerialFlash(client, blocks, display));
        ASSERT_EQ(display.errors.size(), 1u);
        EXPECT_EQ(commands().size(), before) << "the chip was touched";
        EXPECT_EQ(flash(), Bytes(lpcsim::kFlashSize, 0x5A));
    }
}

TEST_F(LpcFlash, EveryFailureEndsWithAnErrorLine) {
    struct Case {
        const char* name;
        lpcsim::Faults faults;
        const char* step;
    };
    const Case cases[] = {
        {"locked", {.returnCode = {{'U', 16}}}, "unlock"},
        {"no prepare", {.returnCode = {{'P', 7}}}, "prepare"},
        {"erase unanswered", {.silentOn = {'E'}}, "erase"},
        {"RAM refuses the data", {.resendTimes = 3}, "write to RAM"},
        {"copy refused", {.returnCode = {{'C', 9}}}, "transfer to flash"},
        {"echo stays off", {.returnCode = {{'A', 12}}}, "transfering data"},
    };
    Image image;
    image.put(0x0, pattern(600, 7));
    for (const Case& c : cases) {
        startSynced(c.faults);
        display.errors.clear();
        EXPECT_FALSE(NXPSerialFlash(client, image.blocks, display)) << c.name;
        ASSERT_EQ(display.errors.size(), 1u) << c.name;
        EXPECT_NE(display.errors[0].find(c.step), std::string::npos)
            << c.name << ": " << display.errors[0];
        EXPECT_EQ(display.bars, 0) << c.name << ": a progress bar left open";
        EXPECT_FALSE(chip([](lpcsim::Chip& sc) { return sc.running(); })) << c.name;
    }
}

// A block must start on a page for the copy command; the chip is never asked to copy there.
TEST_F(LpcFlash, ABlockOffAPageBoundaryFailsClearly) {
    Image image;
    image.put(0x80, pattern(100, 7));
    startSynced();
    EXPECT_FALSE(NXPSerialFlash(client, image.blocks, display));
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_NE(display.errors[0].find("transfer to flash"), std::string::npos) << display.errors[0];
    for (const auto& line : commands())
        EXPECT_NE(line[0], 'C');
}

} // namespace
