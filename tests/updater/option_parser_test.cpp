// The option parser against a table like the updater's: whole and abbreviated options,
// arguments after "=" and in the next word, errors as entries, and the reordered words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimpleOpt.h"

namespace {

enum { D_LOWER, D_UPPER, OVERRIDE, HELP, HTTP, HTTPS, U_UPPER, O_JOINED, BARE, MULTI };

const CSimpleOpt::SOption kOptions[] = {
    {D_LOWER, "-d", SO_REQ_SEP}, {D_UPPER, "-D", SO_NONE},     {OVERRIDE, "-OVERRIDE", SO_NONE},
    {HELP, "--help", SO_NONE},   {HTTP, "--http", SO_NONE},    {HTTPS, "--https", SO_NONE},
    {U_UPPER, "-U", SO_NONE},    {O_JOINED, "-o", SO_REQ_CMB}, {BARE, "list", SO_NONE},
    {MULTI, "-m", SO_MULTI},     {-1, nullptr, SO_NONE},
};

// One reported entry: the row's text (or the word, for an unknown one), argument, error.
struct Entry {
    std::string text;
    std::string arg; // "" when there is none
    int error = SO_SUCCESS;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << "{" << e.text << ", '" << e.arg << "', " << e.error << "}";
}

// The words as a mutable argv (the parser writes into them), with "prog" in front.
struct Words {
    explicit Words(const std::vector<std::string>& words) {
        storage.push_back("prog");
        storage.insert(storage.end(), words.begin(), words.end());
        for (std::string& w : storage)
            argv.push_back(w.data());
    }
    std::vector<std::string> order() const {
        std::vector<std::string> out;
        for (char* w : argv)
            out.emplace_back(w);
        return out;
    }
    std::vector<std::string> storage;
    std::vector<char*> argv;
};

std::vector<Entry> walk(Words& words, int flags = 0) {
    CSimpleOpt parser(static_cast<int>(words.argv.size()), words.argv.data(), kOptions, flags);
    std::vector<Entry> entries;
    while (parser.Next()) {
        entries.push_back({parser.OptionText() ? parser.OptionText() : "",
                           parser.OptionArg() ? parser.OptionArg() : "", parser.LastError()});
    }
    return entries;
}

struct Case {
    const char* what;
    int flags;
    std::vector<std::string> words;
    std::vector<Entry> entries;
};

const Case kCases[] = {
    {"an abbreviation reports the row's text", 0, {"-O", "-OV"}, {{"-OVERRIDE"}, {"-OVERRIDE"}}},
    {"a unique abbreviation of a long option", 0, {"--he"}, {{"--help"}}},
    {"ambiguous abbreviations",
     0,
     {"--h", "--ht", "--htt"},
     {{"--h", "", SO_OPT_MULTIPLE}, {"--ht", "", SO_OPT_MULTIPLE}, {"--htt", "", SO_OPT_MULTIPLE}}},
    {"exact matches win over longer rows", 0, {"--http", "--https"}, {{"--http"}, {"--https"}}},
    {"case matters without folding", 0, {"-D", "-d", "x"}, {{"-D"}, {"-d", "x"}}},
    {"argument as the next word or after =",
     0,
     {"-d", "12AB", "-d=12AB"},
     {{"-d", "12AB"}, {"-d", "12AB"}}},
    {"no joined arguments or clumps by default",
     0,
     {"-d12AB", "-DU"},
     {{"-d12AB", "", SO_OPT_INVALID}, {"-DU", "", SO_OPT_INVALID}}},
    {"an argument for an option that takes none", 0, {"-D=1"}, {{"-D", "1", SO_ARG_INVALID}}},
    {"a missing argument at the end", 0, {"-d"}, {{"-d", "", SO_ARG_MISSING}}},
    {"an option is not taken as an argument",
     0,
     {"-d", "-D"},
     {{"-d", "", SO_ARG_INVALID_DATA}, {"-D"}}},
    {"lone dashes and unknown letters",
     0,
     {"-", "--", "-x"},
     {{"-", "", SO_OPT_INVALID}, {"--", "", SO_OPT_INVALID}, {"-x", "", SO_OPT_INVALID}}},
    {"a row without a dash matches a bare word", 0, {"list", "lis"}, {{"list"}, {"list"}}},
    {"clumped letters", SO_O_CLUMP, {"-DU"}, {{"-D"}, {"-U"}}},
    {"an unknown letter of a clump",
     SO_O_CLUMP,
     {"-DxU"},
     {{"-D"}, {"-x", "", SO_OPT_INVALID}, {"-U"}}},
    {"unknown letters of a clump skipped without errors",
     SO_O_CLUMP | SO_O_NOERR,
     {"-DxU"},
     {{"-D"}, {"-U"}}},
    {"a joined argument", SO_O_SHORTARG, {"-ofile"}, {{"-o", "file"}}},
    {"a same-word argument is required", 0, {"-o"}, {{"-o", "", SO_ARG_MISSING}}},
    {"only exact matches",
     SO_O_EXACT,
     {"--he", "--help"},
     {{"--he", "", SO_OPT_INVALID}, {"--help"}}},
    {"pedantic: no = for a next-word option",
     SO_O_PEDANTIC,
     {"-d=1"},
     {{"-d", "1", SO_ARG_INVALID_TYPE}}},
    {"folded long options", SO_O_ICASE_LONG, {"--HELP", "-override"}, {{"--help"}, {"-OVERRIDE"}}},
    {"folded one-letter options", SO_O_ICASE_SHORT, {"-u"}, {{"-U"}}},
    {"without errors unknown words are plain words", SO_O_NOERR, {"-x", "-D"}, {{"-D"}}},
};

} // namespace

TEST(OptionParser, ReportsEachEntryAsTheTableAndFlagsSay) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Words words(c.words);
        EXPECT_EQ(walk(words, c.flags), c.entries);
    }
}

TEST(OptionParser, MovesWordsThatAreNotOptionsToTheEndInTheirOrder) {
    Words words({"foo", "-D", "bar", "-d", "1"});
    EXPECT_EQ(walk(words), (std::vector<Entry>{{"-D"}, {"-d", "1"}}));
    EXPECT_EQ(words.order(), (std::vector<std::string>{"prog", "-D", "-d", "1", "foo", "bar"}));
}

TEST(OptionParser, KeepsTheWordOfANonOptionWhole) {
    // A plain word with "=" is not cut; an option's argument after "=" points into its word.
    Words words({"a=b", "-d=7"});
    EXPECT_EQ(walk(words), (std::vector<Entry>{{"-d", "7"}}));
    EXPECT_EQ(words.order()[2], "a=b");
}

TEST(OptionParser, ReordersMoreWordsThanAnyFixedArea) {
    std::vector<std::string> many;
    for (int i = 0; i < 120; i++)
        many.push_back("w" + std::to_string(i));
    many.push_back("-D");
    for (int i = 120; i < 200; i++)
        many.push_back("w" + std::to_string(i));
    Words words(many);
    EXPECT_EQ(walk(words), (std::vector<Entry>{{"-D"}}));
    std::vector<std::string> order = words.order();
    ASSERT_EQ(order.size(), 202u);
    EXPECT_EQ(order[1], "-D");
    for (size_t i = 0; i < 200; i++)
        ASSERT_EQ(order[2 + i], "w" + std::to_string(i));
}

TEST(OptionParser, MultiArgTakesTheCallersWords) {
    Words words({"-m", "a", "b", "-m", "c", "-D"});
    CSimpleOpt parser(static_cast<int>(words.argv.size()), words.argv.data(), kOptions, 0);
    ASSERT_TRUE(parser.Next());
    EXPECT_EQ(parser.OptionId(), MULTI);
    char** taken = parser.MultiArg(2);
    ASSERT_NE(taken, nullptr);
    EXPECT_STREQ(taken[0], "a");
    EXPECT_STREQ(taken[1], "b");
    ASSERT_TRUE(parser.Next());
    EXPECT_EQ(parser.OptionId(), MULTI);
    EXPECT_EQ(parser.MultiArg(2), nullptr) << "-D is not an argument";
    EXPECT_EQ(parser.LastError(), SO_ARG_INVALID_DATA);
    EXPECT_EQ(parser.MultiArg(3), nullptr);
    EXPECT_EQ(parser.LastError(), SO_ARG_MISSING);
    ASSERT_TRUE(parser.Next());
    EXPECT_EQ(parser.OptionId(), D_UPPER) << "c was left to the walk, a plain word";
    EXPECT_EQ(parser.LastError(), SO_SUCCESS);
    EXPECT_FALSE(parser.Next());
    EXPECT_EQ(words.order().back(), "c");
}

TEST(OptionParser, TheFirstWordIsAWordOnlyWhenAllWordsCount) {
    for (int flags : {0, int{SO_O_USEALL}}) {
        Words words({"-D"});
        words.storage[0] = "list";
        words.argv[0] = words.storage[0].data();
        std::vector<Entry> expected = {{"-D"}};
        if (flags) expected.insert(expected.begin(), Entry{"list"});
        EXPECT_EQ(walk(words, flags), expected) << flags;
    }
}
