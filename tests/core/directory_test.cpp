// Directories and paths on a real file system in a temporary directory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "TempDir.h"
#include "aDirectory.h"

namespace fs = std::filesystem;
using tftest::TempDir;

TEST(DirectoryExists, OnlyForDirectories) {
    TempDir dir;
    EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.write("file", "").c_str()));
    EXPECT_FALSE(aDirectory_Exists((dir / "missing").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(DirectoryEnsure, CreatesMissingParents) {
    TempDir dir;
    std::string deep = dir / "x/y/z";
    mode_t previousMask = umask(0);
    aErr result = aDirectory_Ensure(deep.c_str(), 0751);
    umask(previousMask);
    ASSERT_EQ(result, aErrNone);
    EXPECT_TRUE(aDirectory_Exists((dir / "x").c_str()));
    EXPECT_TRUE(aDirectory_Exists((dir / "x/y").c_str()));
    EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
    struct stat info;
    ASSERT_EQ(stat((dir / "x/y").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0751u) << "each level gets the mode";
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone) << "existing is fine";

    std::string doubled = dir / "a//b";
    EXPECT_EQ(aDirectory_Ensure(doubled.c_str(), 0700), aErrNone);
    EXPECT_TRUE(aDirectory_Exists((dir / "a/b").c_str()));
}

TEST(DirectoryEnsure, CreatesRelativePaths) {
    TempDir dir;
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    aErr result = aDirectory_Ensure("r/s/t", 0755);
    bool made = aDirectory_Exists("r/s/t");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(result, aErrNone);
    EXPECT_TRUE(made);
}

TEST(DirectoryEnsure, FailsWhereAFileStands) {
    TempDir dir;
    std::string file = dir.write("plain", "");
    EXPECT_EQ(aDirectory_Ensure(file.c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((file + "/below").c_str(), 0755), aErrPermission);
    EXPECT_FALSE(aDirectory_Exists(file.c_str()));
}

TEST(DirectoryEnsure, FailsWithoutWritePermission) {
    TF_REQUIRE_ROOT();
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string target = dir / "locked/inner";
    EXPECT_EQ(tftest::runUnprivileged([&] { return aDirectory_Ensure(target.c_str(), 0755); }),
              aErrPermission);
    EXPECT_FALSE(aDirectory_Exists((dir / "locked").c_str()));
}

namespace {

struct Listing {
    std::set<std::string> names;
    std::set<std::string> directories;
    int calls = 0;
    int stopAfter = -1;
};

bool collect(const aDirectoryListData* data, void* ref) {
    auto* listing = static_cast<Listing*>(ref);
    std::string name = fs::path(data->path).filename().string();
    listing->names.insert(name);
    if (data->directory) listing->directories.insert(name);
    listing->calls++;
    return listing->calls != listing->stopAfter;
}

} // namespace

TEST(DirectoryList, VisitsEveryEntryWithFullPaths) {
    TempDir dir;
    dir.write("one", "12345");
    fs::create_directory(dir / "sub");
    Listing listing;
    ASSERT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
    EXPECT_EQ(listing.names, (std::set<std::string>{".", "..", "one", "sub"}));
    EXPECT_EQ(listing.directories, (std::set<std::string>{".", "..", "sub"}));
}

TEST(DirectoryList, StopsWhenTheCallbackSaysSoAndReportsMissingDirectories) {
    TempDir dir;
    dir.write("one", "");
    Listing stopped;
    stopped.stopAfter = 1;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &stopped), aErrNone);
    EXPECT_EQ(stopped.calls, 1);

    Listing none;
    EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), collect, &none), aErrNotFound);
    EXPECT_EQ(none.calls, 0);
}

TEST(DirectoryList, ReportsSizes) {
    TempDir dir;
    dir.write("five", "12345");
    struct Found {
        int32_t size = -1;
    } found;
    auto callback = [](const aDirectoryListData* data, void* ref) {
        if (fs::path(data->path).filename() == "five") static_cast<Found*>(ref)->size = data->size;
        return true;
    };
    ASSERT_EQ(aDirectory_List(dir.path().c_str(), callback, &found), aErrNone);
    EXPECT_EQ(found.size, 5);
}

TEST(DirectoryDeleteTree, RemovesEverythingBelow) {
    TempDir dir;
    std::string root = dir / "tree";
    fs::create_directories(root + "/a/b/c");
    dir.write("tree/a/file", "x");
    dir.write("tree/a/b/c/deep", "y");
    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(root));
    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNotFound);
}

TEST(DirectoryDeleteTree, RemovesLinksWithoutFollowingThem) {
    TempDir dir;
    std::string outside = dir / "outside";
    fs::create_directory(outside);
    std::string precious = dir.write("outside/precious", "keep me");
    std::string root = dir / "tree";
    fs::create_directory(root);
    fs::create_directory_symlink(outside, root + "/dirlink");
    fs::create_symlink(precious, root + "/filelink");
    fs::create_symlink(dir / "nowhere", root + "/dangling");

    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(root));
    EXPECT_EQ(tftest::readFile(precious), "keep me");
}

// The tree named by a link is the link: removing it must not empty the directory it
// points to (as rm -r removes a link, not what it leads to). A link that leads to no
// directory is no tree and stays.
TEST(DirectoryDeleteTree, ALinkNamingTheTreeIsRemovedItself) {
    const struct {
        const char* name;
        std::string pointsTo; // below the temporary directory
        std::string suffix;
        aErr result;
        bool removed;
    } cases[] = {
        {"link to a directory", "target", "", aErrNone, true},
        {"the same with a trailing separator", "target", "/", aErrNone, true},
        {"link to a file", "target/sub/precious", "", aErrNotFound, false},
        {"dangling link", "nowhere", "", aErrNotFound, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        fs::create_directories(dir / "target/sub");
        std::string precious = dir.write("target/sub/precious", "keep me");
        std::string link = dir / "link";
        fs::create_symlink(dir / c.pointsTo, link);
        EXPECT_EQ(aDirectory_DeleteTree((link + c.suffix).c_str()), c.result);
        EXPECT_EQ(fs::is_symlink(link), !c.removed);
        EXPECT_EQ(tftest::readFile(precious), "keep me");
    }
}

TEST(DirectoryDelete, OnlyEmptyDirectories) {
    TempDir dir;
    std::string full = dir / "full";
    fs::create_directory(full);
    dir.write("full/f", "");
    EXPECT_EQ(aDirectory_Delete(full.c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete((dir / "missing").c_str()), aErrUnknown);
    std::string empty = dir / "empty";
    fs::create_directory(empty);
    EXPECT_EQ(aDirectory_Delete(empty.c_str()), aErrNone);
}

TEST(DirectoryDeleteTree, StopsWhereAFileCannotBeRemoved) {
    TF_REQUIRE_ROOT();
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    std::string root = dir / "tree";
    fs::create_directories(root + "/locked");
    dir.write("tree/locked/f", "");
    chmod((root + "/locked").c_str(), 0555);
    chmod(root.c_str(), 0777);
    int result = tftest::runUnprivileged([&] { return aDirectory_DeleteTree(root.c_str()); });
    EXPECT_EQ(result, aErrUnknown);
    EXPECT_TRUE(fs::exists(root + "/locked/f"));
}

TEST(BuildPath, JoinsWithOneSeparator) {
    struct Case {
        size_t size;
        std::vector<const char*> parts;
        aErr result;
        const char* text;
    } cases[] = {
        {16, {"abc", "def"}, aErrNone, "abc/def"},
        {16, {"abc/", "def"}, aErrNone, "abc/def"},
        {16, {"abc", "/def"}, aErrNone, "abc/def"},
        {16, {"a/", "/b"}, aErrNone, "a//b"},
        {16, {"a", "b", "c"}, aErrNone, "a/b/c"},
        {8, {"abc", "def"}, aErrOverrun, "abc/"},
        {9, {"abc", "def"}, aErrNone, "abc/def"},
        {12, {"abc", "def"}, aErrNone, "abc/def"},
        {4, {"abc"}, aErrOverrun, ""},
        {16, {"", "b"}, aErrNone, "b"},
        {16, {"abc", ""}, aErrNone, "abc/"},
        {64, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, aErrNone, "1/2/3/4/5/6/7/8/9/10"},
        {64, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}, aErrParam, ""},
        {0, {"a", "b"}, aErrParam, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "size " << c.size << " " << testing::PrintToString(c.parts));
        char buffer[64];
        std::memset(buffer, 'x', sizeof(buffer));
        std::vector<const char*> rest(c.parts.begin() + 1, c.parts.end());
        rest.resize(11, nullptr);
        aErr result =
            aDirectory_BuildPath(buffer, c.size, c.parts[0], rest[0], rest[1], rest[2], rest[3],
                                 rest[4], rest[5], rest[6], rest[7], rest[8], rest[9], nullptr);
        EXPECT_EQ(result, c.result);
        if (c.text)
            EXPECT_STREQ(buffer, c.text);
        else
            EXPECT_EQ(buffer[0], 'x') << "size 0 writes nothing";
    }
}

TEST(BuildPath, RefusesTheOutputBufferAsAComponent) {
    char buffer[32] = "abc";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), buffer, "x", nullptr), aErrParam);
    std::strcpy(buffer, "abc");
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), "x", buffer), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(nullptr, 8, "x", "y"), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), "x", "y"), aErrNone);
    EXPECT_STREQ(buffer, "x/y");
}

TEST(ProcessPaths, CurrentExecutableAndHome) {
    char cwd[PATH_MAX];
    ASSERT_EQ(aDirectory_CWD(cwd, sizeof(cwd)), aErrNone);
    EXPECT_EQ(fs::path(cwd), fs::current_path());
    char tiny[2];
    EXPECT_EQ(aDirectory_CWD(tiny, sizeof(tiny)), aErrParam);

    char exe[PATH_MAX];
    ASSERT_EQ(aDirectory_ExecutableFilePath(exe, sizeof(exe)), aErrNone);
    std::string full = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(exe, full);
    char cut[5];
    ASSERT_EQ(aDirectory_ExecutableFilePath(cut, sizeof(cut)), aErrNone);
    EXPECT_EQ(std::string(cut), full.substr(0, 4));

    char home[PATH_MAX];
    ASSERT_EQ(aDirectory_GetHomeDirectory(home, sizeof(home)), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(home));
    char small[2] = {'x', 'x'};
    EXPECT_EQ(aDirectory_GetHomeDirectory(small, sizeof(small)), aErrOverrun);
    EXPECT_EQ(small[1], '\0') << "never left without its terminator";
    EXPECT_EQ(aDirectory_GetHomeDirectory(small, 0), aErrParam);
}

TEST(ProcessPaths, HomeFailsWhenNeitherPasswordDatabaseNorHomeKnowsIt) {
    TF_REQUIRE_ROOT();
    // uid 54321 has no password entry here; without HOME nothing names a home.
    int result = tftest::runUnprivilegedAs(54321, [] {
        unsetenv("HOME");
        char buffer[256];
        return aDirectory_GetHomeDirectory(buffer, sizeof(buffer)) == aErrNone ? 1 : 0;
    });
    EXPECT_EQ(result, 0);
    int withHome = tftest::runUnprivilegedAs(54321, [] {
        setenv("HOME", "/from/env", 1);
        char buffer[256];
        return aDirectory_GetHomeDirectory(buffer, sizeof(buffer)) == aErrNone &&
                       std::string(buffer) == "/from/env"
                   ? 0
                   : 1;
    });
    EXPECT_EQ(withHome, 0);
}
