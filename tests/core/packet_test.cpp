// Packet records, their byte-wise assembly, and the UEI payload helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Holders.h"
#include "aPacket.h"
#include "aUEI.h"

namespace {

using tftest::makePacket;
using tftest::PacketPtr;

std::vector<uint8_t> range(uint8_t first, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(PacketAssembly, FeedsTableOfByteSequences) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<aErr> results; // one per byte
        bool complete;
        std::vector<uint8_t> exported; // when complete
    };
    const std::vector<Case> cases = {
        {"valid",
         {0x06, 0x03, 0x11, 0x22, 0x33},
         {aErrNone, aErrNone, aErrNone, aErrNone, aErrNone},
         true,
         {0x06, 0x03, 0x11, 0x22, 0x33}},
        // Oddness is the link engine's concern, not the assembler's.
        {"odd address",
         {0x07, 0x01, 0x42},
         {aErrNone, aErrNone, aErrNone},
         true,
         {0x07, 0x01, 0x42}},
        {"zero address", {0x00}, {aErrPacket}, false, {}},
        {"zero address then a packet",
         {0x00, 0x06, 0x00},
         {aErrPacket, aErrNone, aErrNone},
         true,
         {0x06, 0x00}},
        {"length 29", {0x06, 0x1D}, {aErrNone, aErrPacket}, false, {}},
        {"zero length", {0x06, 0x00}, {aErrNone, aErrNone}, true, {0x06, 0x00}},
        // A complete empty packet must not read the next byte as a new length.
        {"zero length then more",
         {0x06, 0x00, 0x05, 0x01},
         {aErrNone, aErrNone, aErrPacket, aErrPacket},
         true,
         {0x06, 0x00}},
        {"short packet then more",
         {0x06, 0x01, 0xAA, 0xBB},
         {aErrNone, aErrNone, aErrNone, aErrPacket},
         true,
         {0x06, 0x01, 0xAA}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PacketPtr packet(aPacket_Create());
        ASSERT_NE(packet, nullptr);
        ASSERT_EQ(c.bytes.size(), c.results.size());
        for (size_t i = 0; i < c.bytes.size(); i++)
            EXPECT_EQ(aPacket_AddByte(packet.get(), c.bytes[i]), c.results[i]) << "byte " << i;
        EXPECT_EQ(aPacket_IsComplete(packet.get()), c.complete);
        if (c.complete) {
            uint8_t out[aPACKET_MAX_BYTES];
            size_t count = 0;
            ASSERT_EQ(aPacket_GetBytes(packet.get(), out, sizeof(out), &count), aErrNone);
            EXPECT_EQ(std::vector<uint8_t>(out, out + count), c.exported);
        }
    }
}

TEST(PacketAssembly, FullPacketTakes28DataBytesThenOverruns) {
    PacketPtr packet(aPacket_Create());
    std::vector<uint8_t> bytes = concat({0x06, 0x1C}, range(1, 28));
    for (size_t i = 0; i < bytes.size(); i++) {
        EXPECT_FALSE(aPacket_IsComplete(packet.get()));
        ASSERT_EQ(aPacket_AddByte(packet.get(), bytes[i]), aErrNone) << i;
    }
    EXPECT_TRUE(aPacket_IsComplete(packet.get()));
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x99), aErrOverrun);
    EXPECT_TRUE(aPacket_IsComplete(packet.get()));
    EXPECT_EQ(packet->data[27], 28);
}

TEST(PacketAssembly, ThreeHundredBytesWithoutResetStayInsideTheRecord) {
    // The record sits inside a guarded block: any write past it shows in the guard.
    struct Guarded {
        aPacket packet;
        uint8_t guard[64];
    } block{};
    block.packet = *PacketPtr(aPacket_Create());
    for (int i = 0; i < 300; i++) {
        aErr result = aPacket_AddByte(&block.packet, static_cast<uint8_t>(0x06 + (i % 2) * 22));
        if (i < 2 + 28)
            EXPECT_EQ(result, aErrNone) << i;
        else
            EXPECT_EQ(result, aErrOverrun) << i;
    }
    EXPECT_TRUE(aPacket_IsComplete(&block.packet));
    EXPECT_EQ(block.packet.fill, aPACKET_MAX_BYTES);
    for (uint8_t byte : block.guard)
        EXPECT_EQ(byte, 0);
}

TEST(PacketAssembly, ResetStartsAFreshPacket) {
    PacketPtr packet = makePacket(0x06, {1, 2, 3});
    ASSERT_EQ(aPacket_Reset(packet.get()), aErrNone);
    EXPECT_FALSE(aPacket_IsComplete(packet.get()));
    EXPECT_EQ(packet->data[0], 0);
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x08), aErrNone);
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x00), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(packet.get()));
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
    EXPECT_EQ(aPacket_AddByte(nullptr, 1), aErrParam);
}

TEST(PacketRecord, CreationIsZeroFilledAndChecksItsArguments) {
    PacketPtr empty(aPacket_Create());
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(aVALIDPACKET(empty.get()));
    for (uint8_t byte : empty->data)
        EXPECT_EQ(byte, 0);

    uint8_t data[29] = {0xAA};
    EXPECT_EQ(aPacket_CreateWithData(0x06, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x06, 0, nullptr), nullptr);
    PacketPtr none(aPacket_CreateWithData(0x06, 0, data));
    ASSERT_NE(none, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(none.get()));
    EXPECT_EQ(none->data[0], 0) << "bytes beyond the length are zero";
}

TEST(PacketRecord, CopyExportAndDestroy) {
    PacketPtr original = makePacket(0x0A, {0x03, 0xC5, 0x41});
    PacketPtr copy(aPacket_Copy(original.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(copy.get()));

    uint8_t out[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(aPacket_GetBytes(copy.get(), out, 4, nullptr), aErrOverrun);
    EXPECT_EQ(out[0], 0xEE) << "nothing written on overrun";
    size_t count = 0;
    EXPECT_EQ(aPacket_GetBytes(copy.get(), out, 5, &count), aErrNone);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 5),
              (std::vector<uint8_t>{0x0A, 3, 0x03, 0xC5, 0x41}));
    EXPECT_EQ(aPacket_GetBytes(copy.get(), nullptr, 5, &count), aErrParam);

    aPacket forged = *original;
    forged.check = 0x1234;
    EXPECT_EQ(aPacket_Copy(&forged), nullptr);

    aPacket* raw = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&raw), aErrNone);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(aPacket_Destroy(&raw), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

TEST(PacketRecord, CommandOptionAndIndexNeedTheirBytes) {
    PacketPtr three = makePacket(0x06, {0x03, 0xC5, 0xE7});
    PacketPtr one = makePacket(0x06, {0x03});
    PacketPtr none = makePacket(0x06, {});
    uint8_t value = 0;
    EXPECT_EQ(aPacket_GetCmd(three.get(), &value), aErrNone);
    EXPECT_EQ(value, 0x03);
    EXPECT_EQ(aPacket_GetOption(three.get(), &value), aErrNone);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(aPacket_GetIndex(three.get(), &value), aErrNone);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(aPacket_GetOption(one.get(), &value), aErrPacket);
    EXPECT_EQ(aPacket_GetIndex(one.get(), &value), aErrPacket);
    EXPECT_EQ(aPacket_GetCmd(none.get(), &value), aErrPacket);
    EXPECT_EQ(aPacket_GetCmd(nullptr, &value), aErrPacket);
    EXPECT_EQ(aPacket_GetCmd(three.get(), nullptr), aErrParam);
}

TEST(UEIPayload, BigEndianFields) {
    const uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(aUEI_RetrieveInt(bytes), 0x12345678u);
    EXPECT_EQ(aUEI_RetrieveShort(bytes), 0x1234);
    uint8_t out[4] = {};
    aUEI_StoreShort(out, 0xABCD);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xCD);
    aUEI_StoreInt(out, 0xDEADBEEF);
    EXPECT_EQ(aUEI_RetrieveInt(out), 0xDEADBEEFu);

    uint32_t words[2];
    const uint8_t wire[8] = {0, 0, 0, 1, 0x80, 0, 0, 2};
    std::memcpy(words, wire, sizeof(words));
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0x80000002u);
}

TEST(UEIPayload, ClassifiesCommandsAndStreamSamples) {
    struct Case {
        std::vector<uint8_t> data;
        bool linkLevel;
        bool stream;
    } cases[] = {
        {{8}, true, false},
        {{9, 1}, true, false},
        {{0xAD}, true, false},
        {{3}, false, false},
        {{0x03, 0x05, 0x41, 0, 0}, false, true},
        {{0x03, 0x05, 0x41, 0}, false, false},    // four data bytes
        {{0x03, 0x45, 0x41, 0, 0}, false, false}, // option flag set
        {{0x03, 0x05, 0x01, 0, 0}, false, false}, // no stream bit
        {{0x49, 0x05, 0x41, 0, 0}, true, false},  // module information is link-level
        {{}, true, false},                        // no data reads as the heartbeat command
    };
    for (const auto& c : cases) {
        PacketPtr packet = makePacket(0x06, c.data);
        EXPECT_EQ(aUEI_isNotUEIPayload(packet.get()), c.linkLevel)
            << testing::PrintToString(c.data);
        EXPECT_EQ(aUEI_isUEIPayload(packet.get()), !c.linkLevel);
        EXPECT_EQ(aUEI_isStreamPacket(packet.get()), c.stream) << testing::PrintToString(c.data);
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

// The thirteen link-level commands, each beside its neighbours: one number too many or
// too few in the list shows here.
TEST(UEIPayload, ExactlyTheThirteenLinkLevelCommandsAreNotUEI) {
    struct Case {
        uint8_t command;
        bool linkLevel;
    };
    const Case cases[] = {
        {0x00, true},  {0x01, true},  {0x02, true},  {0x03, false}, {0x04, true}, {0x05, false},
        {0x07, false}, {0x08, true},  {0x09, true},  {0x0A, false}, {22, false},  {23, true},
        {24, true},    {25, false},   {72, false},   {73, true},    {74, false},  {93, false},
        {94, true},    {95, true},    {96, false},   {0xAC, false}, {0xAD, true}, {0xAE, false},
        {0xAF, true},  {0xB0, false}, {0xFF, false},
    };
    for (const auto& c : cases) {
        // The command byte decides whatever follows it.
        PacketPtr packet = makePacket(0x06, {c.command, 0x05, 0x41, 0, 0});
        EXPECT_EQ(aUEI_isNotUEIPayload(packet.get()), c.linkLevel) << +c.command;
        EXPECT_EQ(aUEI_isUEIPayload(packet.get()), !c.linkLevel) << +c.command;
    }
}

TEST(UEIPayload, TrailerOfByteTransfers) {
    PacketPtr last = makePacket(0x06, {0x10, 0x01, 0x85});
    EXPECT_EQ(aUEI_getBytesSequence(last.get()), 5);
    EXPECT_TRUE(aUEI_getBytesContinue(last.get()));
    PacketPtr none = makePacket(0x06, {});
    EXPECT_EQ(aUEI_getBytesSequence(none.get()), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(none.get()));
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);

    EXPECT_TRUE(aUEI_getBytesFullPacket(makePacket(0x06, range(0, 27)).get()));
    EXPECT_TRUE(aUEI_getBytesFullPacket(makePacket(0x06, range(0, 28)).get()));
    EXPECT_FALSE(aUEI_getBytesFullPacket(makePacket(0x06, range(0, 26)).get()));
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}
