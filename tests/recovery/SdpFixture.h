// What the Serial Download tests over HID and over a pty share: the simulated boot ROM, the
// images they write and the road the recovery takes (write the loader, read the fuses, jump).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "BootRom.h"
#include "SDPLoader.h"

namespace sdptest {

// Every byte value, in an order that no two slices share.
inline std::vector<unsigned char> image(size_t size) {
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + (i >> 8) * 13);
    return bytes;
}

// The 17-byte command reports the engine sends, as the boot ROM reads them.
inline std::vector<uint8_t> command(std::initializer_list<uint8_t> leading) {
    std::vector<uint8_t> bytes(leading);
    bytes.resize(17, 0);
    return bytes;
}

// Write a loader, read the identity, jump to the loader: the simulated memory then holds the
// image, the identity is the fuses', and the ROM has seen the jump.
inline void expectRecoveryRoad(SDPLoader& engine, sdpsim::BootRom& rom, size_t imageBytes) {
    const auto loader = image(imageBytes);
    uint32_t jumpedTo = 0;
    rom.onJump([&](uint32_t address) { jumpedTo = address; });

    ASSERT_EQ(engine.writeLoader(loader, 0x20000000), 0);
    EXPECT_EQ(rom.memory(0x20000000, loader.size()), loader);

    u64 id = 0;
    ASSERT_EQ(engine.getFingerprint(id), 0);
    EXPECT_EQ(id, u64{0x0D0A1113} << 32 | 0x13110A0D);

    engine.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    EXPECT_EQ(rom.jumps(), std::vector<uint32_t>{0x20000400});
    EXPECT_EQ(jumpedTo, 0x20000400u);
}

// Fuse words whose bytes a terminal left cooked would translate or swallow (CR, LF, XON,
// XOFF).
inline sdpsim::RomConfig awkwardFuses() {
    sdpsim::RomConfig config;
    config.cfg0 = 0x13110A0D;
    config.cfg1 = 0x0D0A1113;
    return config;
}

// Where a transport finds the status word in what a read collected.
struct ReplyCase {
    const char* name;
    std::vector<unsigned char> reply;
    u32 index;
    bool found;
    u32 word;
};

inline void expectWords(SDPLoader_Interface& transport, const std::vector<ReplyCase>& cases) {
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        u32 word = 0;
        EXPECT_EQ(transport.getDataFromBuffer(c.reply, c.index, word), c.found);
        EXPECT_EQ(word, c.word) << "a reply without the word must leave it alone";
    }
}

} // namespace sdptest
