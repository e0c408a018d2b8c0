// The link table on its own: entries made, found, counted and extracted directly, with no
// running link behind them. Ids are process-wide, so only their differences are asserted.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <vector>

#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

namespace {

uint32_t idOf(const aLinkEntry* entry) {
    return entry ? entry->id : 0;
}

// Entries left in the table by a test are extracted and freed after it.
class LinkTable : public testing::Test {
  protected:
    // Identifiers of their own, so that no other entry of the process can match.
    static uint32_t freshSerial() {
        static uint32_t serial = 0x7AB1E000;
        return serial += 0x10;
    }

    uint32_t add(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
        uint32_t id = sCreate2(ident0, ident1, ident2, type);
        EXPECT_NE(id, 0u);
        made.push_back(id);
        return id;
    }

    void TearDown() override {
        for (uint32_t id : made)
            sFreeEntry(sExtractEntry(id));
    }

    std::vector<uint32_t> made;
};

} // namespace

TEST_F(LinkTable, IdsRiseByOneAndAreNeverReused) {
    const uint32_t serial = freshSerial();
    uint32_t first = add(serial, 0, 0, USB);
    uint32_t second = add(serial + 1, 0, 0, USB);
    uint32_t third = add(serial + 2, 0, 0, USB);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(third, first + 2);
    sFreeEntry(sExtractEntry(second));
    EXPECT_EQ(add(serial + 3, 0, 0, USB), first + 3) << "the freed id is not reused";
}

TEST_F(LinkTable, NewEntryHoldsItsIdentifiersAndAFreshRecord) {
    const uint32_t serial = freshSerial();
    uint32_t id = add(serial, htonl(0x7F000001), 9000, TCPIP);
    const aLinkEntry* entry = sLookupEntryByID(id);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->ident0, serial);
    EXPECT_EQ(entry->ident1, htonl(0x7F000001));
    EXPECT_EQ(entry->ident2, 9000u);
    EXPECT_EQ(entry->type, TCPIP);
    EXPECT_EQ(entry->useCount, 0) << "the creator adds its use once the stream exists";
    EXPECT_EQ(entry->pairedId, 0u);
    EXPECT_EQ(entry->server, nullptr);
    ASSERT_NE(entry->link, nullptr);
    EXPECT_EQ(entry->link->id, id);
    EXPECT_EQ(sGetLink(id), entry->link.get());

    uint32_t plain = sCreate(serial + 1, 5, SERIAL);
    made.push_back(plain);
    ASSERT_NE(sLookupEntryByID(plain), nullptr);
    EXPECT_EQ(sLookupEntryByID(plain)->ident2, 0u) << "sCreate has no third identifier";
}

TEST_F(LinkTable, LookupsFindTheNewestMatch) {
    const uint32_t serial = freshSerial(), address = htonl(0x0A4D0002), port = 8016;
    uint32_t olderUsb = add(serial, 0, 0, USB);
    uint32_t serialLink = add(serial, 0, 0, SERIAL);
    uint32_t newerUsb = add(serial, 0, 0, USB);
    // A client entry whose three identifiers happen to be those of a TCP/IP entry.
    uint32_t tcpip = add(serial + 1, address, port, TCPIP);
    uint32_t client = add(serial + 1, address, port, AWEAVE);
    struct Case {
        const char* name;
        const aLinkEntry* found;
        uint32_t expected; // 0: none
    };
    const Case cases[] = {
        {"USB by serial number", sLookupEntryByIdentifier(serial, USB), newerUsb},
        {"serial link, same number", sLookupEntryByIdentifier(serial, SERIAL), serialLink},
        {"a type the number has no entry of", sLookupEntryByIdentifier(serial, TCPIP), 0},
        {"an unknown number", sLookupEntryByIdentifier(serial + 9, USB), 0},
        {"trident, type not compared", sLookupEntryByTrident(serial + 1, address, port), client},
        {"trident, another port", sLookupEntryByTrident(serial + 1, address, port + 1), 0},
        {"trident, another address", sLookupEntryByTrident(serial + 1, address + 1, port), 0},
        {"by id, an older entry", sLookupEntryByID(olderUsb), olderUsb},
        {"id 0", sLookupEntryByID(0), 0},
        {"an id not given yet", sLookupEntryByID(client + 1000), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(idOf(c.found), c.expected) << c.name;
    EXPECT_EQ(sGetLink(client + 1000), nullptr);

    // With the newer ones gone, the older matches come to light.
    sFreeEntry(sExtractEntry(newerUsb));
    EXPECT_EQ(idOf(sLookupEntryByIdentifier(serial, USB)), olderUsb);
    sFreeEntry(sExtractEntry(client));
    EXPECT_EQ(idOf(sLookupEntryByTrident(serial + 1, address, port)), tcpip);
}

// Extraction from each place in the list: the head, the middle, the tail.
TEST_F(LinkTable, ExtractionUnlinksOnlyItsEntry) {
    for (int position = 0; position < 3; position++) {
        SCOPED_TRACE(position == 0 ? "newest" : position == 1 ? "middle" : "oldest");
        const uint32_t serial = freshSerial();
        std::vector<uint32_t> ids; // oldest first
        for (uint32_t n = 0; n < 3; n++)
            ids.push_back(add(serial + n, 0, 0, USB));
        const size_t victim = 2 - static_cast<size_t>(position);
        aLinkEntry* out = sExtractEntry(ids[victim]);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->id, ids[victim]);
        sFreeEntry(out);
        EXPECT_EQ(sExtractEntry(ids[victim]), nullptr) << "already out";
        for (size_t n = 0; n < 3; n++) {
            const uint32_t expected = n == victim ? 0 : ids[n];
            EXPECT_EQ(idOf(sLookupEntryByID(ids[n])), expected) << n;
            EXPECT_EQ(idOf(sLookupEntryByIdentifier(serial + static_cast<uint32_t>(n), USB)),
                      expected)
                << n;
        }
    }
}

// Every lookup walks the list from its head: one left pointing at the freed entry would
// be read by the lookups that follow (the address sanitizer watches).
TEST_F(LinkTable, ExtractingTheOnlyEntryLeavesNothingBehind) {
    const uint32_t serial = freshSerial();
    uint32_t only = add(serial, 0, 0, USB);
    sFreeEntry(sExtractEntry(only));
    EXPECT_EQ(sLookupEntryByID(only), nullptr);
    EXPECT_EQ(sLookupEntryByIdentifier(serial, USB), nullptr);
    EXPECT_EQ(sLookupEntryByTrident(serial, 0, 0), nullptr);
    EXPECT_EQ(sExtractEntry(only), nullptr);
    uint32_t next = add(serial, 0, 0, USB);
    EXPECT_EQ(idOf(sLookupEntryByIdentifier(serial, USB)), next);
}

TEST_F(LinkTable, UseCountsAddSignedDeltas) {
    aLinkEntry* entry = sLookupEntryByID(add(freshSerial(), 0, 0, USB));
    ASSERT_NE(entry, nullptr);
    sChangeUseCount(entry, -1);
    EXPECT_EQ(entry->useCount, -1) << "below zero is kept, not clamped";
    sChangeUseCount(entry, +3);
    EXPECT_EQ(entry->useCount, 2);
    sChangeUseCount(nullptr, +1); // ignored
    EXPECT_EQ(entry->useCount, 2);
}
