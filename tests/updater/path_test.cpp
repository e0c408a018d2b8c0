// Joining path components: the separator always goes in, nothing is shortened or counted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "path.h"

namespace {

TEST(BuildPathTest, JoinsEveryComponentWithTheSeparator) {
    const std::string longPart(5000, 'x');
    struct Case {
        const char* name;
        std::string joined;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"three", BuildPath("a", "b", "c", nullptr), "a/b/c"},
        {"one", BuildPath("a", nullptr), "a"},
        {"a trailing separator doubles", BuildPath("a/", "b", nullptr), "a//b"},
        {"a leading separator doubles", BuildPath("a", "/b", nullptr), "a//b"},
        {"an empty first", BuildPath("", "b", nullptr), "/b"},
        {"an empty middle", BuildPath("a", "", "c", nullptr), "a//c"},
        {"no first", BuildPath(nullptr, nullptr), ""},
        {"more than the core's ten",
         BuildPath("1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", nullptr),
         "1/2/3/4/5/6/7/8/9/10/11/12"},
        {"longer than any path buffer", BuildPath(longPart.c_str(), longPart.c_str(), nullptr),
         longPart + "/" + longPart},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.joined, c.expected);
    }
}

} // namespace
