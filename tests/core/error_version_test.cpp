// Error texts, model names and the firmware-version word.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"

TEST(ErrorText, NamesAndDescriptionsByCode) {
    struct Case {
        int code;
        const char* name;
        const char* description;
    } cases[] = {
        {0, "aErrNone", "Success, no error"},
        {11, "aErrNotReady", "Not ready, no bytes available"},
        {18, "aErrTimeout", "Timeout occurred"},
        {23, "aErrCancel", "Cancellation occurred, or did not complete"},
        {27, "aErrShortCommand", "Tessaform command to short"},
        {33, "aErrStreamStale", "Stream value is stale"},
        {34, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {1000, "aErrUnknown", "Unknown error"},
        {-1, "aErrUnknown", "Unknown error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(c.code)), c.name);
        EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(c.code)), c.description);
    }
}

TEST(ErrorText, EveryCodeHasItsOwnName) {
    std::set<std::string> names;
    for (int code = 0; code <= 34; code++)
        names.insert(aError_GetErrorText(static_cast<aErr>(code)));
    EXPECT_EQ(names.size(), 35u);
}

TEST(ModelName, SeventeenDistinctModelsAndUnknownElsewhere) {
    std::set<std::string> names;
    for (unsigned model = 0; model < 40; model++) {
        bool known = model == 4 || model == 5 || (model >= 13 && model <= 27);
        std::string name = aDefs_GetModelName(model);
        EXPECT_EQ(name != "Unknown", known) << model;
        if (known) names.insert(name);
    }
    EXPECT_EQ(names.size(), 17u);
    EXPECT_STREQ(aDefs_GetModelName(0xFFFFFFFFu), "Unknown");
}

TEST(FirmwareVersion, ParsesBothLayouts) {
    struct Case {
        uint32_t word;
        bool legacy;
        unsigned major, minor;
        uint32_t patch;
    } cases[] = {
        {0x2A000010, true, 2, 10, 16},      {0x2EFFFFFF, true, 2, 14, 0xFFFFFF},
        {0x2F020F03, false, 2, 15, 3},      {0x30010203, false, 1, 2, 3},
        {0xFFFFFFFF, false, 255, 255, 255}, {0x00000000, true, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.word), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.word), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.word), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.word), c.patch);
    }
}

TEST(FirmwareVersion, PacksIntoTheLayoutTheVersionNeeds) {
    struct Case {
        uint8_t major, minor, patch;
        uint32_t word;
    } cases[] = {
        {2, 14, 7, 0x2E000007}, {2, 15, 0, 0x2F020F00}, {3, 0, 1, 0x2F030001},
        {1, 20, 3, 0x14000003}, {0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << +c.major << "." << +c.minor << "." << +c.patch);
        EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.word);
    }
    // Only the minor's low nibble survives a legacy pack.
    uint32_t word = aVersion_Pack(1, 20, 3);
    EXPECT_EQ(aVersion_ParseMinor(word), 4);
    // Every marked version round-trips.
    for (unsigned minor = 15; minor < 256; minor += 40) {
        uint32_t marked = aVersion_Pack(2, static_cast<uint8_t>(minor), 9);
        EXPECT_EQ(aVersion_ParseMinor(marked), minor);
        EXPECT_EQ(aVersion_ParsePatch(marked), 9u);
    }
}

TEST(FirmwareVersion, ParseStringIsBoundedByTheBuffer) {
    char small[4];
    std::memset(small, 'x', sizeof(small));
    aVersion_ParseString(0x2F020F03, small, sizeof(small));
    EXPECT_STREQ(small, "2.1");
    char large[16];
    aVersion_ParseString(0x2F020F03, large, sizeof(large));
    EXPECT_STREQ(large, "2.15.3");
    char untouched = 'x';
    aVersion_ParseString(0x2F020F03, &untouched, 0);
    EXPECT_EQ(untouched, 'x');
}

TEST(VersionCompare, IsLexicographicAndEqualCounts) {
    struct Case {
        uint8_t a, b, c, d, e, f;
        bool atLeast;
    } cases[] = {
        {2, 10, 4, 2, 10, 4, true}, {2, 10, 3, 2, 10, 4, false}, {2, 9, 255, 2, 10, 4, false},
        {3, 0, 0, 2, 10, 4, true},  {2, 11, 0, 2, 10, 4, true},  {1, 255, 255, 2, 0, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.a, c.b, c.c, c.d, c.e, c.f), c.atLeast)
            << +c.a << "." << +c.b << "." << +c.c << " vs " << +c.d << "." << +c.e << "." << +c.f;

    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 5));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 99, 99));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 6));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 13, 0));
}

TEST(LibraryVersion, OneTextBuiltOnceEvenUnderConcurrentFirstCalls) {
    std::vector<const char*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); i++)
        threads.emplace_back([&seen, i] { seen[i] = aVersion_GetString(); });
    for (auto& t : threads)
        t.join();
    for (const char* text : seen) {
        EXPECT_EQ(text, aVersion_GetString());
        EXPECT_STREQ(text, "2.12.5");
    }
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 5);
}

TEST(Features, ExactNamesAndTheListText) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}
