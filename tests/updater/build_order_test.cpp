// The ordering of a server's build list by version: splitting major.minor.patch, numbers
// rather than text, 8-bit parts, and malformed versions kept last by a strict ordering.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "UpdateServerRequest.h"

namespace {

using Parts = std::vector<std::string>;

TEST(BuildOrder, SplitsExactlyThreeParts) {
    const struct {
        const char* version;
        Parts parts;
    } cases[] = {
        {"2.12.5", {"2", "12", "5"}},
        {"2..5", {"2", "", "5"}},
        {"..", {"", "", ""}},
        {"2.12", {}},
        {"2.12.5.1", {}},
        {"", {}},
        {"2.12.", {"2", "12", ""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UpdateServerRequest::SplitTessaformVersion(c.version), c.parts) << c.version;
}

std::vector<std::string> versionsInOrder(const UpdateServerRequest::BuildList& builds) {
    std::vector<std::string> versions;
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        versions.push_back(version);
    return versions;
}

TEST(BuildOrder, SortsNewestFirstByNumber) {
    EXPECT_EQ(versionsInOrder({{"1", "2.9.0"}, {"2", "2.12.10"}, {"3", "2.12.5"}}),
              (std::vector<std::string>{"2.12.10", "2.12.5", "2.9.0"}));
}

// Each part keeps its low 8 bits: 256 reads as 0 and -1 as 255; stoi's leading space and
// sign are accepted.
TEST(BuildOrder, ComparesPartsByTheirLowEightBits) {
    const struct {
        const char* newer;
        const char* older;
    } cases[] = {
        {"2.1.0", "2.256.0"},
        {"1.2.-1", "1.2.254"},
        {"3.0.0", " 2.+9.9"},
        {"0.0.1", "256.0.0"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(_sortVersion({"a", c.newer}, {"b", c.older})) << c.newer << " > " << c.older;
        EXPECT_FALSE(_sortVersion({"a", c.older}, {"b", c.newer})) << c.older << " < " << c.newer;
    }
    EXPECT_FALSE(_sortVersion({"a", "2.256.0"}, {"b", "2.0.0"}));
    EXPECT_FALSE(_sortVersion({"a", "2.0.0"}, {"b", "2.256.0"}));
}

const char* const MALFORMED[] = {"", "2.12", "2..5", "x.1.2", "1.2.3.4", "99999999999.0.0", "beta"};

bool isMalformed(const std::string& version) {
    return std::find(std::begin(MALFORMED), std::end(MALFORMED), version) != std::end(MALFORMED);
}

// Mixed with well-formed ones, malformed versions (out-of-range numbers included) must neither
// break the sort, which a test that called them equal to everything would, nor come first.
TEST(BuildOrder, PutsMalformedVersionsLast) {
    UpdateServerRequest::BuildList builds;
    for (int i = 0; i < 60; ++i) {
        const std::string version =
            i % 3 == 0
                ? MALFORMED[static_cast<size_t>(i / 3) % std::size(MALFORMED)]
                : std::to_string(i % 7) + "." + std::to_string(i % 5) + "." + std::to_string(i);
        builds.emplace(std::to_string(i), version);
    }
    const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());
    const std::vector<std::pair<std::string, std::string>> entries(builds.begin(), builds.end());
    EXPECT_TRUE(std::is_permutation(sorted.begin(), sorted.end(), entries.begin(), entries.end()));
    const auto firstMalformed = std::find_if(
        sorted.begin(), sorted.end(), [](const auto& entry) { return isMalformed(entry.second); });
    EXPECT_EQ(std::count_if(sorted.begin(), firstMalformed,
                            [](const auto& entry) { return isMalformed(entry.second); }),
              0);
    EXPECT_TRUE(std::all_of(firstMalformed, sorted.end(),
                            [](const auto& entry) { return isMalformed(entry.second); }));
    EXPECT_TRUE(std::is_sorted(sorted.begin(), firstMalformed, _sortVersion));
}

// Irreflexive, asymmetric and transitive, with equivalence transitive too: what std::sort
// needs from its test.
TEST(BuildOrder, TheTestIsAStrictWeakOrdering) {
    std::vector<std::pair<std::string, std::string>> v;
    for (const char* version : {"2.12.5", "2.12.10", "2.256.0", "2.0.0", "1.9.9"})
        v.emplace_back("b", version);
    for (const char* version : MALFORMED)
        v.emplace_back("b", version);
    auto less = [](const auto& a, const auto& b) { return _sortVersion(a, b); };
    auto equivalent = [&](const auto& a, const auto& b) { return !less(a, b) && !less(b, a); };
    for (const auto& a : v) {
        EXPECT_FALSE(less(a, a)) << a.second;
        for (const auto& b : v) {
            if (less(a, b)) {
                EXPECT_FALSE(less(b, a)) << a.second << " " << b.second;
            }
            for (const auto& c : v) {
                if (less(a, b) && less(b, c)) {
                    EXPECT_TRUE(less(a, c));
                }
                if (equivalent(a, b) && equivalent(b, c)) {
                    EXPECT_TRUE(equivalent(a, c));
                }
            }
        }
    }
}

} // namespace
