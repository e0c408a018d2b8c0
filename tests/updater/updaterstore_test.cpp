// The local store in temporary directories: its layout on disk, exact-name lookups (also below
// a directory named like a device), whole-file replacement that survives a writer killed or
// refused half-way, and names that would leave the store.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "UpdaterStore.h"

namespace fs = std::filesystem;
using tftest::BirdImage;
using tftest::Bytes;
using tftest::readFile;

namespace {

const char* const TIME =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";
constexpr uint32_t SERIAL = 0x40F5849A;

Bytes birdBytes(const std::string& version, size_t payload = 600) {
    return tftest::birdFile(BirdImage()
                                .firmware(0x1000, tftest::randomBytes(payload, 3))
                                .descriptor("12345", version, "40F5849A", "MODEL")
                                .image());
}

// A file's size and a digest of its bytes: short enough to print when a comparison fails.
std::string digest(const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes #" +
           std::to_string(std::hash<std::string>{}(bytes));
}
std::string fileDigest(const std::string& path) {
    return digest(readFile(path));
}
std::string digest(const Bytes& bytes) {
    return digest(tftest::asText(bytes));
}

// Every path below root with its file's digest (a directory maps to "<dir>"), to see that an
// operation changed nothing, or exactly what it should.
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        out[name] = entry.is_directory() ? "<dir>" : fileDigest(entry.path().string());
    }
    return out;
}

std::set<std::string> names(const fs::path& directory) {
    std::set<std::string> out;
    for (const auto& entry : fs::directory_iterator(directory))
        out.insert(entry.path().filename().string());
    return out;
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

std::string thrownText(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

class UpdaterStoreTest : public ::testing::Test {
  protected:
    UpdaterStoreTest() : oldMask_(umask(022)) {}
    ~UpdaterStoreTest() override { umask(oldMask_); }

    std::string base() const { return dir / "home/.keldoran/updater"; }
    std::string device(const std::string& name = "40F5849A") const { return base() + "/" + name; }
    // A device directory made by hand, with an attribute file marking which one it is.
    static void makeDevice(const std::string& root, const std::string& name,
                           const std::string& mark) {
        fs::create_directories(root + "/" + name);
        std::ofstream(root + "/" + name + "/.settings") << "LATEST_DOWNLOAD=" << mark << "\n";
    }

    tftest::TempDir dir;

  private:
    mode_t oldMask_;
};

TEST_F(UpdaterStoreTest, OpeningCreatesTheBaseDirectoryAndItsParents) {
    tftest::LogCapture log(DEBUG_Updater);
    UpdaterStore store(base().c_str());
    EXPECT_STREQ(store.BasePath(), base().c_str());
    for (const std::string& made : {base(), dir / "home/.keldoran", dir / "home"}) {
        SCOPED_TRACE(made);
        EXPECT_TRUE(fs::is_directory(made));
        EXPECT_EQ(modeOf(made), 0755u);
    }
    EXPECT_TRUE(fs::is_empty(base()));
    UpdaterStore again(base().c_str());
    EXPECT_EQ(log.text(), "UpdaterStore: Created directory [" + base() + "].\nUpdaterStore: [" +
                              base() + "] already exists.\n");
}

TEST_F(UpdaterStoreTest, OpeningRefusesWhatIsNoDirectory) {
    const std::string file = dir.write("plain", "x");
    struct Case {
        const char* name;
        const char* path;
        std::string text;
    };
    const std::string below = file + "/updater";
    const std::vector<Case> cases = {
        {"a regular file", file.c_str(), "UpdaterStore: " + file + " exists and is a file"},
        {"below a regular file", below.c_str(),
         "UpdaterStore: Could not create directory " + below + " error 12"},
        {"no path", nullptr, "UpdaterStore: no base directory given"},
        {"an empty path", "", "UpdaterStore: no base directory given"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(thrownText([&c] { UpdaterStore store(c.path); }), c.text);
    }
    EXPECT_EQ(readFile(file), "x");
}

TEST_F(UpdaterStoreTest, OpeningWhereCreationIsRefusedThrows) {
    TF_REQUIRE_ROOT();
    const fs::path locked = dir.path() / "locked";
    fs::create_directory(locked);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    const std::string path = (locked / "updater").string();
    const int result = tftest::runUnprivileged([&path] {
        return thrownText([&path] { UpdaterStore store(path.c_str()); }) ==
                       "UpdaterStore: Could not create directory " + path + " error 12"
                   ? 0
                   : 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(fs::is_empty(locked));
}

TEST_F(UpdaterStoreTest, AddDeviceMakesTheDirectoryNamedBySerialWithItsAttributes) {
    UpdaterStore store(base().c_str());
    const std::vector<std::pair<uint32_t, std::string>> serials = {
        {SERIAL, "40F5849A"}, {0xABC, "00000ABC"}, {0xDEADDEAD, "DEADDEAD"}};
    for (const auto& [serial, name] : serials) {
        SCOPED_TRACE(name);
        UpdaterStoreItem item = store.AddDevice(serial);
        EXPECT_EQ(item.BasePath(), base());
        EXPECT_EQ(item.Name(), name);
        EXPECT_EQ(item.Type(), STORE_ITEM_DIRECTORY);
        EXPECT_TRUE(item.IsValid());
        EXPECT_EQ(modeOf(device(name)), 0755u);
        EXPECT_EQ(names(device(name)), std::set<std::string>{".settings"});
        const std::string settings = readFile(device(name) + "/.settings");
        EXPECT_TRUE(std::regex_match(settings, std::regex(std::string("CREATED_TIME=") + TIME +
                                                          "\nUPDATED_TIME=" + TIME + "\n")))
            << settings;
        EXPECT_EQ(item.Attributes().Path(), device(name) + "/.settings");
    }

    // Once more: the directory and its recorded attributes stay as they were.
    UpdaterStoreItem first = store.AddDevice(SERIAL);
    first.Attributes().Add("LATEST_DOWNLOAD", "12345.bird");
    ASSERT_TRUE(first.SaveAttributes());
    const auto before = tree(base());
    UpdaterStoreItem second = store.AddDevice(SERIAL);
    EXPECT_EQ(tree(base()), before);
    EXPECT_EQ(second.Attributes().GetString("LATEST_DOWNLOAD", nullptr), "12345.bird");
}

TEST_F(UpdaterStoreTest, AddDeviceRefusesNamesThatAreNoPlainEntry) {
    UpdaterStore store(base().c_str());
    dir.write("home/.keldoran/updater/0000FFFF", "a file, not a directory");
    const auto before = tree(dir.path());
    struct Case {
        const char* name;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"0000FFFF", "UpdaterStore: " + device("0000FFFF") + " exists and is a file"},
        {"", "UpdaterStore: invalid device name []"},
        {".", "UpdaterStore: invalid device name [.]"},
        {"..", "UpdaterStore: invalid device name [..]"},
        {"../../escaped", "UpdaterStore: invalid device name [../../escaped]"},
        {"40F5849A/sub", "UpdaterStore: invalid device name [40F5849A/sub]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(thrownText([&] { store.AddDevice(c.name); }), c.text);
    }
    EXPECT_EQ(thrownText([&] { store.AddDevice(static_cast<const char*>(nullptr)); }),
              "UpdaterStore: invalid device name []");
    EXPECT_EQ(tree(dir.path()), before);
}

// The store root may itself lie below a directory named by a serial number (-i with such a
// path), and other entries may contain the name: only the entry of exactly that name is the
// device. A found item is that device's alone; one not found is left as it was.
TEST_F(UpdaterStoreTest, FindDeviceMatchesTheDirectoryNameExactly) {
    struct Case {
        const char* name;
        std::string root;
        std::vector<std::string> devices; // made in this order, each marked with its own name
        std::vector<std::string> files;
        bool found;
    };
    const std::vector<Case> cases = {
        {"the device among others", "plain", {"12345678", "40F5849A", "ABCDEF01"}, {}, true},
        {"a root whose path holds the serial, device absent",
         "40F5849A/updater",
         {"12345678", "00000001"},
         {},
         false},
        {"a root whose path holds the serial, device present",
         "40F5849A/updater",
         {"12345678", "40F5849A", "00000001"},
         {},
         true},
        {"names that contain the serial",
         "plain",
         {"X40F5849A", "40F5849A.old", "40f5849a", "40F5849"},
         {"40F5849A.bird"},
         false},
        {"a file of that name", "plain", {"12345678"}, {"40F5849A"}, false},
        {"an empty store", "plain", {}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = dir / (std::to_string(&c - cases.data()) + "/" + c.root);
        UpdaterStore store(root.c_str());
        for (const std::string& name : c.devices)
            makeDevice(root, name, name);
        for (const std::string& name : c.files)
            std::ofstream(root + "/" + name) << "file";
        // An item that an earlier lookup filled, of another device.
        makeDevice(dir.path().string(), "OTHER", "other.bird");
        UpdaterStoreItem item(dir.path().c_str(), "OTHER", STORE_ITEM_DIRECTORY);
        item.Attributes().Add("ONLY_OTHER", 1);

        EXPECT_EQ(store.FindDevice(SERIAL, &item), c.found);
        EXPECT_EQ(store.FindDevice(SERIAL, nullptr), c.found);
        if (c.found) {
            EXPECT_EQ(item.BasePath(), root);
            EXPECT_EQ(item.Name(), "40F5849A");
            EXPECT_EQ(item.Type(), STORE_ITEM_DIRECTORY);
            EXPECT_EQ(item.Attributes().GetString("LATEST_DOWNLOAD", nullptr), "40F5849A");
            EXPECT_EQ(item.Attributes()["ONLY_OTHER"], nullptr);
            EXPECT_EQ(item.Attributes().Path(), root + "/40F5849A/.settings");
        } else {
            EXPECT_EQ(item.Name(), "OTHER");
            EXPECT_EQ(item.Attributes().GetString("LATEST_DOWNLOAD", nullptr), "other.bird");
            EXPECT_EQ(item.Attributes().GetInt("ONLY_OTHER", 0), 1);
            EXPECT_FALSE(fs::is_directory(root + "/40F5849A"));
        }
    }
}

TEST_F(UpdaterStoreTest, FindDeviceOfNamesThatAreNoEntryFindsNothing) {
    UpdaterStore store(base().c_str());
    store.AddDevice(SERIAL);
    for (const char* name : {"", ".", "..", "/40F5849A", "40F5849A/", "../updater"}) {
        SCOPED_TRACE(name);
        UpdaterStoreItem item;
        EXPECT_FALSE(store.FindDevice(name, &item));
        EXPECT_FALSE(item.IsValid());
    }
    EXPECT_FALSE(store.FindDevice(static_cast<const char*>(nullptr), nullptr));
}

TEST_F(UpdaterStoreTest, WrittenFilesReadBackWhole) {
    UpdaterStore store(base().c_str());
    UpdaterStoreItem item = store.AddDevice(SERIAL);
    const Bytes first = birdBytes("1.2.3", 200000);
    ASSERT_EQ(item.WriteFile("12345.bird", first.data(), first.size()), aErrNone);
    EXPECT_EQ(fileDigest(device() + "/12345.bird"), digest(first));
    EXPECT_EQ(modeOf(device() + "/12345.bird"), 0644u);

    BirdFile loaded = item.ReadBirdFile("12345.bird");
    EXPECT_EQ(loaded.GetVersion(), "1.2.3");
    EXPECT_EQ(loaded.Path(), device() + "/12345.bird");
    EXPECT_TRUE(item.FileExists("12345.bird"));

    // Replacing with fewer bytes leaves exactly those; any bytes at all are kept as given.
    const Bytes second = birdBytes("1.2.4", 10);
    ASSERT_EQ(item.WriteFile("12345.bird", second.data(), second.size()), aErrNone);
    EXPECT_EQ(fileDigest(device() + "/12345.bird"), digest(second));
    EXPECT_EQ(item.ReadBirdFile("12345.bird").GetVersion(), "1.2.4");
    const Bytes zeros(5000, 0);
    ASSERT_EQ(item.WriteFile("zeros", zeros.data(), zeros.size()), aErrNone);
    EXPECT_EQ(fileDigest(device() + "/zeros"), digest(zeros));
    ASSERT_EQ(item.WriteFile("empty", zeros.data(), 0), aErrNone);
    EXPECT_EQ(readFile(device() + "/empty"), "");

    EXPECT_EQ(names(device()),
              (std::set<std::string>{".settings", "12345.bird", "zeros", "empty"}));
}

TEST_F(UpdaterStoreTest, WriteFileRefusesAndTouchesNothing) {
    UpdaterStore store(base().c_str());
    UpdaterStoreItem item = store.AddDevice(SERIAL);
    const Bytes data = {'b', 'i', 'r', 'd', 1, 1};
    UpdaterStoreItem none;
    UpdaterStoreItem nameless(base().c_str(), "", STORE_ITEM_DIRECTORY);
    UpdaterStoreItem gone = store.AddDevice(0x0000BEEF);
    fs::remove_all(device("0000BEEF"));
    // A unique name, to see that nothing lands at the root for an item without names.
    const std::string unique = "tf-store-" + std::to_string(getpid()) + ".bird";
    struct Case {
        const char* name;
        UpdaterStoreItem* item;
        const char* fileName;
        const uint8_t* data;
        aErr result;
    };
    const std::vector<Case> cases = {
        {"no data", &item, "1.bird", nullptr, aErrNotFound},
        {"no file name", &item, nullptr, data.data(), aErrParam},
        {"an empty file name", &item, "", data.data(), aErrParam},
        {"the directory itself", &item, ".", data.data(), aErrParam},
        {"its parent", &item, "..", data.data(), aErrParam},
        {"a name that climbs out", &item, "../../../escaped.bird", data.data(), aErrParam},
        {"a name with a separator", &item, "sub/1.bird", data.data(), aErrParam},
        {"an item that names nothing", &none, unique.c_str(), data.data(), aErrParam},
        {"an item without a name", &nameless, unique.c_str(), data.data(), aErrParam},
        {"a directory that has gone", &gone, "1.bird", data.data(), aErrNotFound},
    };
    const auto before = tree(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.item->WriteFile(c.fileName, c.data, data.size()), c.result);
        EXPECT_EQ(tree(dir.path()), before);
    }
    EXPECT_FALSE(fs::exists("/" + unique));
}

// A writer that dies or is refused in mid-write never leaves a partial build under the
// build's name: the old file stays whole, and what the writer left is hidden from listings.
TEST_F(UpdaterStoreTest, WriteCutShortKeepsTheOldFile) {
    UpdaterStore store(base().c_str());
    UpdaterStoreItem item = store.AddDevice(SERIAL);
    const Bytes old = birdBytes("1.0.0");
    ASSERT_EQ(item.WriteFile("12345.bird", old.data(), old.size()), aErrNone);
    const Bytes big = tftest::randomBytes(4 << 20, 9);

    enum class End { KilledFromOutside, KilledBySizeLimit, RefusedBySizeLimit };
    struct Case {
        const char* name;
        End end;
    };
    const std::vector<Case> cases = {
        {"SIGKILL in mid-write", End::KilledFromOutside},
        {"killed at the file size limit", End::KilledBySizeLimit},
        {"write refused at the file size limit", End::RefusedBySizeLimit},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pid_t child = fork();
        if (child == 0) {
            // The write stops at 1 MiB; for the outside kill the writer then stops itself
            // where it stands, inside the write, and waits for its SIGKILL.
            const rlimit noCore = {0, 0}, limit = {1 << 20, 1 << 20};
            setrlimit(RLIMIT_CORE, &noCore);
            setrlimit(RLIMIT_FSIZE, &limit);
            switch (c.end) {
            case End::KilledFromOutside:
                signal(SIGXFSZ, [](int) { raise(SIGSTOP); });
                break;
            case End::KilledBySizeLimit:
                signal(SIGXFSZ, SIG_DFL);
                break;
            case End::RefusedBySizeLimit:
                signal(SIGXFSZ, SIG_IGN);
                break;
            }
            _exit(item.WriteFile("12345.bird", big.data(), big.size()));
        }
        int status = 0;
        if (c.end == End::KilledFromOutside) {
            ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
            EXPECT_TRUE(WIFSTOPPED(status)) << status;
            // The bytes written so far sit in a hidden file beside the build.
            std::uintmax_t partial = 0;
            for (const std::string& name : names(device()))
                if (name != ".settings" && name != "12345.bird")
                    partial = fs::file_size(device() + "/" + name);
            EXPECT_EQ(partial, 1u << 20) << "stopped in mid-write";
            kill(child, SIGKILL);
        }
        ASSERT_EQ(waitpid(child, &status, 0), child);
        switch (c.end) {
        case End::KilledFromOutside:
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
            break;
        case End::KilledBySizeLimit:
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
            break;
        case End::RefusedBySizeLimit:
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == aErrIO) << status;
            EXPECT_EQ(names(device()), (std::set<std::string>{".settings", "12345.bird"}));
            break;
        }
        // A killed writer's temporary stays, hidden; removed here so the next case starts clean.
        for (const std::string& name : names(device())) {
            if (name == ".settings" || name == "12345.bird") continue;
            EXPECT_EQ(name[0], '.') << name;
            fs::remove(device() + "/" + name);
        }
        EXPECT_EQ(fileDigest(device() + "/12345.bird"), digest(old));
        EXPECT_EQ(item.ReadBirdFile("12345.bird").GetVersion(), "1.0.0");
        std::vector<UpdaterStoreItem> builds;
        EXPECT_TRUE(store.FindLocalBuilds(SERIAL, builds));
        ASSERT_EQ(builds.size(), 1u);
        EXPECT_EQ(builds[0].Name(), "12345.bird");
    }
}

// A file system that fills up during the write: run in a mount namespace of its own, over a
// small tmpfs, in a child that reports each failed check as a bit of its exit code.
TEST_F(UpdaterStoreTest, WriteIntoAFullFileSystemKeepsTheOldFile) {
    TF_REQUIRE_ROOT();
    const std::string mountPoint = dir / "small";
    fs::create_directory(mountPoint);
    const Bytes old = birdBytes("1.0.0");
    const Bytes big = tftest::randomBytes(1 << 20, 5);
    pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            _exit(100);
        if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0) _exit(100);
        const std::string root = mountPoint + "/updater";
        UpdaterStore store(root.c_str());
        UpdaterStoreItem item = store.AddDevice(SERIAL);
        if (item.WriteFile("12345.bird", old.data(), old.size()) != aErrNone) _exit(101);
        int failed = 0;
        if (item.WriteFile("12345.bird", big.data(), big.size()) != aErrIO) failed |= 1;
        if (readFile(root + "/40F5849A/12345.bird") != tftest::asText(old)) failed |= 2;
        if (names(root + "/40F5849A") != std::set<std::string>{".settings", "12345.bird"})
            failed |= 4;
        // The space the failed write took is free again: a small build still fits.
        const Bytes small = birdBytes("1.0.1");
        if (item.WriteFile("12346.bird", small.data(), small.size()) != aErrNone) failed |= 8;
        _exit(failed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: 1 result, 2 old file, 4 leftovers, 8 space";
}

// Root ignores permissions, so these run as an unprivileged user against root's store.
TEST_F(UpdaterStoreTest, UnwritableAndUnreadableDirectoriesFailClearly) {
    TF_REQUIRE_ROOT();
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    UpdaterStore store(base().c_str());
    UpdaterStoreItem item = store.AddDevice(SERIAL);
    const Bytes old = birdBytes("1.0.0");
    ASSERT_EQ(item.WriteFile("12345.bird", old.data(), old.size()), aErrNone);
    // Writable in place, but the directory takes no new entry.
    ASSERT_EQ(chmod((device() + "/12345.bird").c_str(), 0666), 0);
    ASSERT_EQ(chmod(device().c_str(), 0555), 0);
    const auto before = tree(dir.path());

    const Bytes fresh = birdBytes("2.0.0");
    EXPECT_EQ(tftest::runUnprivileged(
                  [&] { return item.WriteFile("12345.bird", fresh.data(), fresh.size()); }),
              aErrNotFound);
    EXPECT_EQ(tree(dir.path()), before);

    ASSERT_EQ(chmod(device().c_str(), 0700), 0);
    ASSERT_EQ(chmod((device() + "/12345.bird").c_str(), 0600), 0);
    const int listed = tftest::runUnprivileged([&] {
        std::vector<UpdaterStoreItem> builds;
        int failed = store.FindLocalBuilds(SERIAL, builds) ? 1 : 0;
        if (!builds.empty()) failed |= 2;
        if (thrownText([&] { item.ReadBirdFile("12345.bird"); }) !=
            "Invalid bird " + device() + "/12345.bird: Permission denied")
            failed |= 4;
        return failed;
    });
    EXPECT_EQ(listed, 0) << "bits: 1 listing reported success, 2 items, 4 read";
}

// The user may replace the attribute file but not read it: loading would replace it by a new
// one and lose the device's records.
TEST_F(UpdaterStoreTest, UnreadableAttributesAreNeverReplaced) {
    TF_REQUIRE_ROOT();
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    UpdaterStore store(base().c_str());
    store.AddDevice(SERIAL);
    const std::string settings = device() + "/.settings";
    std::ofstream(settings) << "LATEST_DOWNLOAD=12345.bird\n";
    ASSERT_EQ(chmod(settings.c_str(), 0), 0);
    ASSERT_EQ(chown(device().c_str(), 65534, 65534), 0);

    const int result = tftest::runUnprivileged([&] {
        UpdaterStoreItem item;
        int failed = store.FindDevice(SERIAL, &item) ? 0 : 1;
        item.Attributes().Add("LATEST_TRANSFER", "1.bird");
        if (item.SaveAttributes()) failed |= 2;
        if (!UpdaterStore(base().c_str()).AddDevice(SERIAL).Attributes().Entries().empty())
            failed |= 4;
        return failed;
    });
    EXPECT_EQ(result, 0) << "bits: 1 not found, 2 saved, 4 attributes";
    EXPECT_EQ(readFile(settings), "LATEST_DOWNLOAD=12345.bird\n");
    EXPECT_EQ(names(device()), std::set<std::string>{".settings"});
}

TEST_F(UpdaterStoreTest, FindLocalBuildsListsVisibleEntriesAndChangesNothing) {
    UpdaterStore store(base().c_str());
    store.AddDevice(SERIAL);
    for (const char* name : {"12345.bird", "12346.bird", ".12347.bird.tmp.99", "notes.txt"})
        dir.write("home/.keldoran/updater/40F5849A/" + std::string(name), name);
    fs::create_directory(device() + "/old");
    fs::create_directory(device("00000001")); // no attribute file of its own
    const auto before = tree(dir.path());

    std::vector<UpdaterStoreItem> builds(1); // what the caller had stays
    EXPECT_TRUE(store.FindLocalBuilds(SERIAL, builds));
    ASSERT_EQ(builds.size(), 5u);
    EXPECT_FALSE(builds[0].IsValid());
    std::map<std::string, store_item_t> listed;
    for (size_t i = 1; i < builds.size(); i++) {
        EXPECT_EQ(builds[i].BasePath(), device());
        EXPECT_TRUE(builds[i].Attributes().Entries().empty());
        listed[builds[i].Name()] = builds[i].Type();
    }
    EXPECT_EQ(listed, (std::map<std::string, store_item_t>{{"12345.bird", STORE_ITEM_FILE},
                                                           {"12346.bird", STORE_ITEM_FILE},
                                                           {"notes.txt", STORE_ITEM_FILE},
                                                           {"old", STORE_ITEM_DIRECTORY}}));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x00000001, none));
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(store.FindLocalBuilds(0x12345678, none));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(tree(dir.path()), before);
}

TEST_F(UpdaterStoreTest, ReadBirdFileRefusesWhatIsNoBuild) {
    UpdaterStore store(base().c_str());
    UpdaterStoreItem item = store.AddDevice(SERIAL);
    dir.write("home/.keldoran/updater/40F5849A/other.bird", "BIRD\x01\x01 other bytes");
    dir.write("home/.keldoran/updater/40F5849A/broken.bird", "bird\x01\x01 no zlib stream");
    fs::create_directory(device() + "/dir.bird");
    struct Case {
        const char* fileName;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"other.bird", "Invalid bird " + device() + "/other.bird"},
        {"missing.bird", "Invalid bird " + device() + "/missing.bird: No such file or directory"},
        {"dir.bird", "Invalid bird " + device() + "/dir.bird"},
        {"broken.bird", "Failed to load bird data"},
        {"../../../../../../etc/passwd",
         "UpdaterStore: invalid file name [../../../../../../etc/passwd] in " + device()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileName);
        EXPECT_EQ(thrownText([&] { item.ReadBirdFile(c.fileName); }), c.text);
    }
    EXPECT_EQ(thrownText([] { UpdaterStoreItem().ReadBirdFile("12345.bird"); }),
              "UpdaterStore: no device directory to read 12345.bird from");
}

// Every entry's path holds the directory's own name, and a longer name may hold the one asked.
TEST_F(UpdaterStoreTest, FileExistsMatchesTheNameExactly) {
    UpdaterStore store(base().c_str());
    UpdaterStoreItem item = store.AddDevice(SERIAL);
    dir.write("home/.keldoran/updater/40F5849A/11234.bird", "x");
    const std::vector<std::pair<const char*, bool>> cases = {
        {"11234.bird", true}, {".settings", true}, {"1234.bird", false},
        {"11234", false},     {"40F5849A", false}, {"", false},
        {".", false},         {"..", false},       {nullptr, false},
    };
    for (const auto& [name, exists] : cases) {
        SCOPED_TRACE(name ? name : "(null)");
        EXPECT_EQ(item.FileExists(name), exists);
    }
    EXPECT_FALSE(UpdaterStoreItem().FileExists("11234.bird"));
}

TEST_F(UpdaterStoreTest, AttributesSaveToTheirDeviceOnly) {
    UpdaterStore store(base().c_str());
    UpdaterStoreItem item = store.AddDevice(SERIAL);
    UpdaterStoreItem copy = item;
    item.Attributes().Add("LATEST_TRANSFER", "12345.bird");
    EXPECT_TRUE(item.SaveAttributes());
    // A copy keeps what it held until it loads the file again.
    EXPECT_EQ(copy.Attributes()["LATEST_TRANSFER"], nullptr);
    UpdaterStoreItem found;
    ASSERT_TRUE(UpdaterStore(base().c_str()).FindDevice(SERIAL, &found));
    EXPECT_EQ(found.Attributes().GetString("LATEST_TRANSFER", nullptr), "12345.bird");

    // An item that names no directory has no file to save to: nothing lands in the current
    // directory.
    const auto previous = fs::current_path();
    fs::current_path(dir.path());
    UpdaterStoreItem none;
    none.Attributes().Add("LATEST_TRANSFER", "1.bird");
    EXPECT_FALSE(none.SaveAttributes());
    UpdaterStoreItem file(device().c_str(), "12345.bird", STORE_ITEM_FILE);
    EXPECT_FALSE(file.SaveAttributes());
    fs::current_path(previous);
    EXPECT_FALSE(fs::exists(dir / ".settings"));
    EXPECT_FALSE(fs::exists(device() + "/12345.bird"));
}

} // namespace
