// Loopback multicast senders and receivers on 224.0.0.7 (run inside the test namespace), and
// the lock around czmq's beacon interface across threads.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "aMulticast.h"
#include "zBeaconInterface.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const uint32_t kGroup = htonl(0xE0000007u); // 224.0.0.7
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
// Fixed ports of the discovery range; the CTest resource lock keeps other users away.
constexpr uint16_t kPort = 9870;
constexpr uint16_t kOtherPort = 9871;

struct MulticastDeleter {
    void operator()(aMulticast* multicast) const { aMulticast_Destroy(&multicast); }
};
using Multicast = std::unique_ptr<aMulticast, MulticastDeleter>;

Multicast makeMulticast(uint32_t interfaceAddress, uint16_t port, bool sender) {
    return Multicast(aMulticast_Create(interfaceAddress, kGroup, port, sender));
}

std::string receiveText(aMulticast* receiver, int size = 64) {
    std::vector<char> buffer(static_cast<size_t>(size));
    long n = aMulticast_Receive(receiver, buffer.data(), size);
    if (n < 0) return "<" + std::to_string(n) + ">";
    return std::string(buffer.data(), static_cast<size_t>(std::min<long>(n, size)));
}

size_t openDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        count++;
    return count;
}

TEST(Multicast, DatagramTravelsOverLoopbackWhicheverWayTheInterfaceIsNamed) {
    struct Case {
        const char* name;
        uint32_t senderInterface;
        uint32_t receiverInterface;
    };
    for (const Case& c :
         {Case{"both 127.0.0.1", kLoopback, kLoopback}, Case{"sender 0", 0, kLoopback},
          Case{"receiver 0", kLoopback, 0}, Case{"both 0", 0, 0}}) {
        SCOPED_TRACE(c.name);
        Multicast receiver = makeMulticast(c.receiverInterface, kPort, false);
        Multicast sender = makeMulticast(c.senderInterface, kPort, true);
        ASSERT_TRUE(receiver && sender);
        EXPECT_EQ(aMulticast_Send(sender.get(), "hello", 5), 5);
        EXPECT_EQ(receiveText(receiver.get()), "hello");
    }
}

TEST(Multicast, OversizedDatagramReportsItsWholeSize) {
    Multicast receiver = makeMulticast(kLoopback, kPort, false);
    Multicast sender = makeMulticast(kLoopback, kPort, true);
    ASSERT_TRUE(receiver && sender);
    ASSERT_EQ(aMulticast_Send(sender.get(), "0123456789", 10), 10);
    char buffer[8];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(aMulticast_Receive(receiver.get(), buffer, 4), 10);
    EXPECT_EQ(std::string(buffer, sizeof(buffer)), "0123xxxx");

    // The rest of the oversized datagram is gone: the next one arrives whole.
    ASSERT_EQ(aMulticast_Send(sender.get(), "next", 4), 4);
    EXPECT_EQ(receiveText(receiver.get()), "next");
}

TEST(Multicast, QuietReceiverTimesOutAfterAboutASecond) {
    Multicast receiver = makeMulticast(kLoopback, kPort, false);
    ASSERT_TRUE(receiver);
    char buffer[16];
    auto start = Clock::now();
    EXPECT_EQ(aMulticast_Receive(receiver.get(), buffer, sizeof(buffer)), -1);
    EXPECT_GE(Clock::now() - start, 900ms);
}

TEST(Multicast, ReceiverPortIsExclusiveUntilItsHolderIsDestroyed) {
    aMulticast* first = aMulticast_Create(kLoopback, kGroup, kPort, false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(aMulticast_Create(kLoopback, kGroup, kPort, false), nullptr);
    EXPECT_EQ(aMulticast_Create(0, kGroup, kPort, false), nullptr);
    Multicast elsewhere = makeMulticast(kLoopback, kOtherPort, false);
    EXPECT_TRUE(elsewhere);

    EXPECT_EQ(aMulticast_Destroy(&first), 0);
    EXPECT_EQ(first, nullptr);
    EXPECT_TRUE(makeMulticast(kLoopback, kPort, false));
}

// Shared receivers are how concurrent searches all hear one answer; they must still never
// let an exclusive receiver (a port's single holder) in beside them.
TEST(Multicast, SharedReceiversEachGetEveryDatagramAndKeepExclusiveOnesOut) {
    Multicast first(aMulticast_CreateSharedReceiver(kLoopback, kGroup, kPort));
    Multicast second(aMulticast_CreateSharedReceiver(0, kGroup, kPort));
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(makeMulticast(kLoopback, kPort, false));
    Multicast sender = makeMulticast(kLoopback, kPort, true);
    ASSERT_EQ(aMulticast_Send(sender.get(), "both", 4), 4);
    EXPECT_EQ(receiveText(first.get()), "both");
    EXPECT_EQ(receiveText(second.get()), "both");

    Multicast exclusive = makeMulticast(kLoopback, kOtherPort, false);
    ASSERT_TRUE(exclusive);
    EXPECT_EQ(aMulticast_CreateSharedReceiver(kLoopback, kGroup, kOtherPort), nullptr);
}

TEST(Multicast, SendersAreNotBoundAndCoexist) {
    Multicast receiver = makeMulticast(kLoopback, kPort, false);
    Multicast one = makeMulticast(kLoopback, kPort, true);
    Multicast two = makeMulticast(kLoopback, kPort, true);
    ASSERT_TRUE(receiver && one && two);
    EXPECT_EQ(aMulticast_Send(one.get(), "one", 3), 3);
    EXPECT_EQ(aMulticast_Send(two.get(), "two", 3), 3);
    EXPECT_EQ(receiveText(receiver.get()), "one");
    EXPECT_EQ(receiveText(receiver.get()), "two");
}

TEST(Multicast, WrongRoleAndMissingObjectAreRefused) {
    Multicast receiver = makeMulticast(kLoopback, kPort, false);
    Multicast sender = makeMulticast(kLoopback, kPort, true);
    ASSERT_TRUE(receiver && sender);
    char buffer[4];
    EXPECT_EQ(aMulticast_Send(receiver.get(), "x", 1), -3);
    EXPECT_EQ(aMulticast_Receive(sender.get(), buffer, sizeof(buffer)), -3);
    EXPECT_EQ(aMulticast_Send(nullptr, "x", 1), -2);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof(buffer)), -2);
    EXPECT_EQ(aMulticast_Send(sender.get(), nullptr, 1), -1);
    EXPECT_EQ(aMulticast_Receive(receiver.get(), nullptr, 4), -1);
    EXPECT_EQ(aMulticast_Receive(receiver.get(), buffer, -1), -1);
    aMulticast* none = nullptr;
    EXPECT_EQ(aMulticast_Destroy(&none), -2);
    EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
}

TEST(Multicast, FailedCreateReleasesWhatItMade) {
    Multicast holder = makeMulticast(kLoopback, kPort, false);
    ASSERT_TRUE(holder);
    struct Case {
        const char* name;
        uint32_t interfaceAddress;
        uint32_t group;
        bool sender;
    };
    const Case cases[] = {
        {"port taken", kLoopback, kGroup, false},
        {"unicast group", kLoopback, htonl(0x0A4D0001u), true},           // 10.77.0.1
        {"interface not on this host", htonl(0xC0A80101u), kGroup, true}, // 192.168.1.1
    };
    size_t before = openDescriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 20; i++)
            EXPECT_EQ(aMulticast_Create(c.interfaceAddress, c.group, kPort, c.sender), nullptr);
    }
    // Neither leaked sockets nor closed descriptors that were not its own.
    EXPECT_EQ(openDescriptors(), before);
}

// Another thread that takes the beacon-interface lock and lets it go at once.
class LockProbe {
  public:
    LockProbe()
        : thread_([this] {
              if (zBeaconInterface_getAndLock() == nullptr) return;
              acquired_ = true;
              zBeaconInterface_unlock();
          }) {}
    ~LockProbe() { thread_.join(); }
    LockProbe(const LockProbe&) = delete;
    LockProbe& operator=(const LockProbe&) = delete;

    bool acquiredWithin(std::chrono::milliseconds wait) const {
        return tftest::eventually([this] { return acquired_.load(); }, wait);
    }

  private:
    std::atomic<bool> acquired_{false};
    std::thread thread_;
};

void setInterface(const char* text) {
    ASSERT_TRUE(zBeaconInterface_setAndLock(text));
    zBeaconInterface_unlock();
}

TEST(BeaconInterface, AcceptsDottedAddressesStarAndEmptyOnly) {
    struct Operation {
        const char* name;
        bool (*lock)(const char*);
        void (*unlock)();
    };
    struct Case {
        const char* text;
        bool valid;
    };
    const Operation operations[] = {
        {"set", zBeaconInterface_setAndLock, zBeaconInterface_unlock},
        {"backup", zBeaconInterface_backupSetAndLock, zBeaconInterface_restoreAndUnlock},
    };
    const Case cases[] = {
        {"10.77.0.2", true},      {"*", true},       {"", true},     {"lo", false},
        {"192.168.1.300", false}, {"10.0.0", false}, {"tf0", false}, {nullptr, false},
    };
    for (const Operation& op : operations) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(op.name) + " " +
                         (c.text ? "'" + std::string(c.text) + "'" : "NULL"));
            setInterface("127.0.0.1");
            ASSERT_EQ(op.lock(c.text), c.valid);
            if (c.valid) {
                EXPECT_STREQ(zBeaconInterface_get(), c.text);
                LockProbe probe;
                EXPECT_FALSE(probe.acquiredWithin(100ms)) << "lock not held";
                op.unlock();
                EXPECT_TRUE(probe.acquiredWithin(5000ms));
            } else {
                EXPECT_STREQ(zBeaconInterface_get(), "127.0.0.1");
                LockProbe probe;
                EXPECT_TRUE(probe.acquiredWithin(5000ms)) << "refused text left the lock held";
            }
        }
    }
}

TEST(BeaconInterface, BackupStartsEmpty) {
    if (std::getenv("TF_FRESH_PROCESS") != nullptr) {
        EXPECT_STREQ(zBeaconInterface_getBackup(), "");
        return;
    }
    // Earlier tests of this process may have saved a backup: ask a fresh copy of the program.
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        setenv("TF_FRESH_PROCESS", "1", 1);
        execl("/proc/self/exe", "multicast_test",
              "--gtest_filter=BeaconInterface.BackupStartsEmpty", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

TEST(BeaconInterface, RestorePutsBackTheSavedInterfaceAndFreesTheLock) {
    setInterface("10.77.0.1");
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.77.0.2"));
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.2");
    // The holder may read the saved text without deadlocking itself.
    EXPECT_STREQ(zBeaconInterface_getBackup(), "10.77.0.1");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.1");
    EXPECT_TRUE(LockProbe().acquiredWithin(5000ms));

    // The saved text outlives the restore, and a plain set does not replace it.
    setInterface("*");
    const char* backup = zBeaconInterface_getBackupAndLock();
    ASSERT_NE(backup, nullptr);
    EXPECT_STREQ(backup, "10.77.0.1");
    {
        LockProbe probe;
        EXPECT_FALSE(probe.acquiredWithin(100ms));
        zBeaconInterface_unlock();
        EXPECT_TRUE(probe.acquiredWithin(5000ms));
    }
    const char* current = zBeaconInterface_getAndLock();
    ASSERT_NE(current, nullptr);
    EXPECT_STREQ(current, "*");
    zBeaconInterface_unlock();
}

TEST(BeaconInterface, SecondThreadBlocksUntilTheHolderReleases) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.1"));
    std::atomic<bool> secondLocked{false};
    std::string secondSaw;
    std::thread second([&] {
        if (!zBeaconInterface_setAndLock("10.77.0.2")) return;
        secondLocked = true;
        secondSaw = zBeaconInterface_get();
        zBeaconInterface_unlock();
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(secondLocked);
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.1");
    zBeaconInterface_unlock();
    second.join();
    EXPECT_TRUE(secondLocked);
    EXPECT_EQ(secondSaw, "10.77.0.2");
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.2");
}

TEST(BeaconInterface, HoldersNeverSeeAnotherThreadsInterface) {
    // Each holder sets its own address and must find it unchanged until it releases; plain
    // readers run alongside and must only ever see one of the addresses.
    const std::vector<std::string> addresses = {"10.77.0.1", "10.77.0.2", "10.77.0.3", "*"};
    std::atomic<int> violations{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (const std::string& address : addresses) {
        threads.emplace_back([&, address] {
            for (int i = 0; i < 200; i++) {
                if (!zBeaconInterface_backupSetAndLock(address.c_str())) {
                    violations++;
                    continue;
                }
                std::this_thread::yield();
                if (address != zBeaconInterface_get()) violations++;
                zBeaconInterface_restoreAndUnlock();
            }
        });
    }
    std::thread reader([&] {
        while (!stop) {
            std::string seen = zBeaconInterface_get();
            std::string saved = zBeaconInterface_getBackup();
            if (seen.size() > 15 || saved.size() > 15) violations++;
        }
    });
    for (std::thread& t : threads)
        t.join();
    stop = true;
    reader.join();
    EXPECT_EQ(violations, 0);
}

TEST(BeaconInterface, MisusedLockNeitherHangsNorReleasesAnotherHolder) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.1"));
    // The holder locking again is refused rather than deadlocking.
    EXPECT_FALSE(zBeaconInterface_setAndLock("10.77.0.2"));
    EXPECT_EQ(zBeaconInterface_getAndLock(), nullptr);
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.1");
    // Another thread's stray unlock and restore leave the holder's lock alone.
    std::thread([] {
        zBeaconInterface_unlock();
        zBeaconInterface_restoreAndUnlock();
    }).join();
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.1");
    {
        LockProbe probe;
        EXPECT_FALSE(probe.acquiredWithin(100ms));
        zBeaconInterface_unlock();
        EXPECT_TRUE(probe.acquiredWithin(5000ms));
    }
}

} // namespace
