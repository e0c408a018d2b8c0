// Attribute files in temporary directories: what is saved reads back, lines parse as the format
// says, and a save cut short (process killed, write or rename refused) keeps the old file whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "KeyValueStore.h"
#include "TempDir.h"

using tftest::readFile;
using Entries = std::map<std::string, std::string>;

namespace {

class KeyValueStoreTest : public ::testing::Test {
  protected:
    std::string path() const { return dir / ".settings"; }
    // The names in a directory, to see that no temporary file was left behind.
    static std::vector<std::string> names(const std::filesystem::path& in) {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(in))
            out.push_back(entry.path().filename().string());
        return out;
    }

    tftest::TempDir dir;
};

const char* const TIME =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";

TEST_F(KeyValueStoreTest, ReadsBackWhatWasSaved) {
    KeyValueStore store(path().c_str());
    const std::string url = "http://host/cgi/u?op=hi&serial=40F5849A";
    store.Add("LATEST_DOWNLOAD", "1234.bird");
    store.Add("COUNT", -17);
    store.Add("RATIO", 2.5);
    store.AddHex("SERIAL", 0x40F5849A);
    store.Add("URL", url);
    store.Add("FLAG", 1);
    store.Add("EMPTY", "");
    store.Save(nullptr);
    EXPECT_FALSE(store.IsDirty());

    KeyValueStore back(path().c_str());
    EXPECT_EQ(back.Entries(), store.Entries());
    EXPECT_EQ(back.GetString("LATEST_DOWNLOAD", nullptr), "1234.bird");
    EXPECT_EQ(back.GetInt("COUNT", 0), -17);
    EXPECT_STREQ(back["RATIO"], "2.500000");
    EXPECT_DOUBLE_EQ(back.GetDouble("RATIO", 0), 2.5);
    EXPECT_STREQ(back["SERIAL"], "0x40F5849A");
    EXPECT_EQ(back.GetHex("SERIAL", 0), 0x40F5849Au);
    EXPECT_EQ(back.GetString("URL", nullptr), url);
    EXPECT_TRUE(back.GetBOOL("FLAG", false));
    EXPECT_STREQ(back["EMPTY"], "");
    EXPECT_EQ(back["ABSENT"], nullptr);

    // key=value lines in key order and nothing else
    std::string expected;
    for (const auto& [key, value] : store.Entries())
        expected += key + "=" + value + "\n";
    EXPECT_EQ(readFile(path()), expected);
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithItsTimes) {
    KeyValueStore store(path().c_str());
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(store.Path(), path());
    const std::string text = readFile(path());
    EXPECT_TRUE(std::regex_match(
        text, std::regex(std::string("CREATED_TIME=") + TIME + "\nUPDATED_TIME=" + TIME + "\n")))
        << text;
}

TEST_F(KeyValueStoreTest, ParsesLinesAsTheFormatSays) {
    struct Case {
        const char* name;
        std::string text;
        Entries entries;
    };
    const std::vector<Case> cases = {
        {"spaces around key and value", "  KEY  =  some value  \n", {{"KEY", "some value"}}},
        {"comment", "#KEY=1\n", {}},
        {"comment mark past the first column", " #KEY=1\n", {{"#KEY", "1"}}},
        {"one letter and its newline", "K\n", {}},
        {"two characters", "K=", {}},
        {"equals signs in the value", "KEY=a=b\n", {{"KEY", "a=b"}}},
        {"no equals sign", "  LONE WORD \n", {{"LONE WORD", ""}}},
        {"empty key", "  = value\n", {{"", "value"}}},
        {"empty value", "KEY=  \n", {{"KEY", ""}}},
        {"CRLF line end", "KEY=v\r\n", {{"KEY", "v"}}},
        {"tabs", "\tKEY\t=\tv\t\n", {{"KEY", "v"}}},
        {"last line without newline", "A=1\nB=2", {{"A", "1"}, {"B", "2"}}},
        {"the last line of a key wins", "A=1\nA=2\n", {{"A", "2"}}},
        {"blank lines", "\n\nA=1\n\n", {{"A", "1"}}},
        {"a line too long ends the load",
         "A=1\n" + std::string(3000, 'x') + "\nB=2\n",
         {{"A", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeyValueStore store(dir.write(".settings", c.text).c_str());
        EXPECT_EQ(store.Entries(), c.entries);
        EXPECT_FALSE(store.IsDirty());
    }
}

TEST_F(KeyValueStoreTest, NumericGettersAddAbsentKeysThatSaveThenWrites) {
    dir.write(".settings", "HEX=0x10\nPLAIN=ff\nEMPTY=\n");
    KeyValueStore store(path().c_str());
    EXPECT_EQ(store.GetInt("HEX", 5), 0);
    EXPECT_EQ(store.GetHex("HEX", 5), 16u);
    EXPECT_EQ(store.GetHex("PLAIN", 5), 255u);
    EXPECT_EQ(store.GetInt("EMPTY", 7), 7);
    EXPECT_EQ(store.GetInt("ABSENT_INT", 3), 3);
    EXPECT_FALSE(store.GetBOOL("ABSENT_BOOL", false));
    EXPECT_EQ(store.GetString("ABSENT_TEXT", "fallback"), "fallback");
    EXPECT_EQ(store.GetString("ABSENT_TEXT", nullptr), "");
    EXPECT_EQ(store["ABSENT_LOOKUP"], nullptr);
    EXPECT_FALSE(store.IsDirty());
    store.Save(nullptr);
    EXPECT_EQ(readFile(path()), "ABSENT_BOOL=\nABSENT_INT=\nEMPTY=\nHEX=0x10\nPLAIN=ff\n");
}

// Only a change dirties the store, and only a dirty store's save writes a new UPDATED_TIME.
TEST_F(KeyValueStoreTest, OnlyChangesMarkTheStoreDirty) {
    struct Case {
        const char* name;
        std::function<void(KeyValueStore&)> change;
        bool dirty;
    };
    KeyValueStore same;
    same.Add("A", "1");
    const std::vector<Case> cases = {
        {"the same number", [](KeyValueStore& s) { s.Add("A", 1); }, false},
        {"the same text", [](KeyValueStore& s) { s.Add("A", "1"); }, false},
        {"an absent key set empty", [](KeyValueStore& s) { s.Add("B", ""); }, false},
        {"an empty store merged", [](KeyValueStore& s) { s.Add(KeyValueStore()); }, false},
        {"a new value", [](KeyValueStore& s) { s.Add("A", 2); }, true},
        {"a new key", [](KeyValueStore& s) { s.AddHex("B", 1); }, true},
        {"a store with the same value merged", [&same](KeyValueStore& s) { s.Add(same); }, true},
        {"cleared", [](KeyValueStore& s) { s.Clear(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeyValueStore store(dir.write(".settings", "A=1\nUPDATED_TIME=then\n").c_str());
        c.change(store);
        EXPECT_EQ(store.IsDirty(), c.dirty);
        store.Save(nullptr);
        EXPECT_FALSE(store.IsDirty());
        KeyValueStore back(path().c_str());
        EXPECT_EQ(back.GetString("UPDATED_TIME", nullptr) == "then", !c.dirty);
    }
}

// A newline in a key or value, or an equals sign in a key, would come back as other entries; a
// line too long for the reader would end the next load.
TEST_F(KeyValueStoreTest, RefusesTextThatWouldReadBackAsOtherEntries) {
    KeyValueStore store(path().c_str());
    const Entries before = store.Entries();
    EXPECT_FALSE(store.Add("NOTE", "line\nINJECTED=1"));
    EXPECT_FALSE(store.Add("NOTE", std::string("line\n")));
    EXPECT_FALSE(store.Add("A\nINJECTED", "1"));
    EXPECT_FALSE(store.Add("INJECTED=1\nA", 1));
    EXPECT_FALSE(store.Add("A=INJECTED", "1"));
    EXPECT_FALSE(store.Add(nullptr, "1"));
    EXPECT_FALSE(store.Add("NOTE", static_cast<const char*>(nullptr)));
    EXPECT_EQ(store.GetInt("B\nINJECTED", 4), 4);
    EXPECT_EQ(store.Entries(), before);
    EXPECT_FALSE(store.IsDirty());

    // "LONG=", the value and the newline: 2047 characters fit a load's line, 2048 do not
    EXPECT_FALSE(store.Add("LONG", std::string(2042, 'v')));
    EXPECT_EQ(store.Entries(), before);
    EXPECT_TRUE(store.Add("LONG", std::string(2041, 'v')));
    EXPECT_TRUE(store.Add("NOTE", "carriage\rreturn"));
    EXPECT_TRUE(store.Add("ZZ_AFTER_THE_LONG_LINE", 1));
    store.Save(nullptr);
    KeyValueStore back(path().c_str());
    EXPECT_EQ(back["INJECTED"], nullptr);
    EXPECT_EQ(back.Entries(), store.Entries());
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyPathWritesTheDefaultFileHere) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    KeyValueStore store;
    store.Add("A", 1);
    store.Save(nullptr);
    std::filesystem::current_path(previous);
    EXPECT_EQ(store.Path(), ".settings");
    EXPECT_EQ(readFile(path()).rfind("A=1\nUPDATED_TIME=", 0), 0u);
}

TEST_F(KeyValueStoreTest, LoadAddsToTheEntriesInMemory) {
    KeyValueStore store;
    store.Add("MINE", "1");
    store.Add("KEPT", "2");
    store.Load(dir.write("other", "MINE=3\nTHEIRS=4\n").c_str());
    EXPECT_EQ(store.Entries(), (Entries{{"KEPT", "2"}, {"MINE", "3"}, {"THEIRS", "4"}}));
    EXPECT_FALSE(store.IsDirty());
}

// The save dies, or its write fails, half-way through the new file (the file size limit
// stops it): the old file is whole and a failed save leaves the store dirty and no temporary.
TEST_F(KeyValueStoreTest, SaveCutShortKeepsTheOldFile) {
    KeyValueStore old(path().c_str());
    for (int i = 0; i < 10; i++)
        old.Add(("OLD_" + std::to_string(i)).c_str(), i);
    old.Save(nullptr);
    const std::string oldText = readFile(path());

    struct Case {
        const char* name;
        bool killed; // else the signal is ignored and the write fails with EFBIG
    };
    for (const Case& c : {Case{"killed by the size limit", true}, Case{"write refused", false}}) {
        SCOPED_TRACE(c.name);
        pid_t child = fork();
        if (child == 0) {
            const rlimit noCore = {0, 0}, small = {200, 200};
            setrlimit(RLIMIT_CORE, &noCore);
            signal(SIGXFSZ, c.killed ? SIG_DFL : SIG_IGN);
            KeyValueStore store(path().c_str());
            // more than the limit, less than a stdio buffer: a buffered write fails only at close
            for (int i = 0; i < 40; i++)
                store.Add(("NEW_" + std::to_string(i)).c_str(), std::string(50, 'v'));
            setrlimit(RLIMIT_FSIZE, &small);
            store.Save(nullptr);
            _exit(store.IsDirty() ? 10 : 11);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (c.killed) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
            // the dead process's partial temporary stays, beside and apart from the file
            std::filesystem::remove(path() + ".tmp." + std::to_string(child));
            EXPECT_EQ(names(dir.path()), std::vector<std::string>{".settings"});
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 10) << "the store must stay dirty";
            EXPECT_EQ(names(dir.path()), std::vector<std::string>{".settings"});
        }
        EXPECT_EQ(readFile(path()), oldText);
        EXPECT_EQ(KeyValueStore(path().c_str()).Entries(), old.Entries());
    }
}

// A user who may write the file but not replace it: the file stays as it was, in place writing
// included, and the store stays dirty.
TEST_F(KeyValueStoreTest, SaveThatCannotReplaceTheFileKeepsIt) {
    TF_REQUIRE_ROOT();
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    struct Case {
        const char* name;
        mode_t directoryMode;
    };
    const std::vector<Case> cases = {
        {"directory not writable", 0555},
        {"sticky directory, file of another user", 01777},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path device = dir.path() / std::to_string(c.directoryMode);
        std::filesystem::create_directory(device);
        const std::string file = (device / ".settings").string();
        std::ofstream(file) << "A=1\n";
        ASSERT_EQ(chmod(file.c_str(), 0666), 0);
        ASSERT_EQ(chmod(device.c_str(), c.directoryMode), 0);

        const int stayedDirty = tftest::runUnprivileged([&file]() {
            KeyValueStore store(file.c_str());
            store.Add("A", 2);
            store.Save(nullptr);
            return store.IsDirty() ? 1 : 0;
        });
        EXPECT_EQ(stayedDirty, 1);
        EXPECT_EQ(readFile(file), "A=1\n");
        EXPECT_EQ(names(device), std::vector<std::string>{".settings"});
    }
}

} // namespace
