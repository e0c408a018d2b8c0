// Finding modules that packet servers publish: the loopback multicast search against the
// simulator's loopback responders (in this process and in another), and the beacon search
// on tf0 against the simulator's beacon responder on tf1, all inside the test namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DiscoveryCollect.h"
#include "TestNetwork.h"
#include "discover.h"
#include "sim_test_support.h"
#include "tfsim/BeaconResponder.h"
#include "tfsim/LoopbackResponder.h"
#include "tfsim/ServerSpec.h"
#include "zBeaconInterface.h"

namespace {

using namespace std::chrono_literals;
using disctest::collect;
using disctest::ipv4;
using disctest::Seen;
using Bytes = std::vector<uint8_t>;

Seen search(uint32_t networkInterface, linkType type = AWEAVE, size_t stopAfter = SIZE_MAX) {
    Seen seen;
    seen.stopAfter = stopAfter;
    uint8_t n = aDiscovery_EnumerateModules(type, collect, &seen, networkInterface);
    EXPECT_EQ(n, seen.specs.size());
    return seen;
}

tfsim::ServerSpec server(uint32_t serial, uint32_t type = AWEAVE_TCPIP) {
    tfsim::ServerSpec spec;
    spec.type = type;
    spec.serial = serial;
    spec.moduleAddress = 0x06;
    spec.model = 0x12;
    spec.port = static_cast<uint16_t>(20000 + (serial & 0xFFF));
    return spec;
}

std::vector<uint32_t> serials(const Seen& seen) {
    std::vector<uint32_t> s;
    for (const auto& spec : seen.specs)
        s.push_back(spec.serialNumber);
    std::sort(s.begin(), s.end());
    return s;
}

void expectSpec(const linkSpec& found, const tfsim::ServerSpec& sent) {
    Bytes bytes(sizeof(linkSpec));
    std::memcpy(bytes.data(), &found, sizeof(linkSpec));
    EXPECT_EQ(bytes, sent.encode()) << "the record is handed on exactly as it came";
}

class LoopbackDiscovery : public testing::Test {
  protected:
    void SetUp() override { REQUIRE_TEST_NAMESPACE(); }
};

TEST_F(LoopbackDiscovery, FindsEveryServerOnTheHostWhicheverNetworkKindIsAsked) {
    tfsim::LoopbackResponder first, second;
    ASSERT_NE(first.offset(), second.offset());
    auto a = server(0x40F5849A, AWEAVE_USB), b = server(0x0BADCAFE, AWEAVE_SERIAL);
    first.answer({a.encode()});
    second.answer({b.encode()});
    for (linkType type : {AWEAVE, AWEAVE_USB, AWEAVE_TCPIP, AWEAVE_SERIAL}) {
        for (uint32_t local : {0u, ipv4("127.0.0.1")}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " interface " << local);
            Seen seen = search(local, type);
            ASSERT_EQ(serials(seen), (std::vector<uint32_t>{b.serial, a.serial}));
            expectSpec(seen.specs[0].serialNumber == a.serial ? seen.specs[0] : seen.specs[1], a);
        }
    }
    EXPECT_EQ(first.ignored(), 0u) << "only the 4-byte magic is sent";
}

TEST_F(LoopbackDiscovery, NoServerFindsNothing) {
    EXPECT_TRUE(search(0).specs.empty());
}

// Every answer here but the one good record must be passed over, and none of them may cost
// the good record that follows at the same port.
TEST_F(LoopbackDiscovery, IgnoresAnswersOfOtherKindsSizesAndAddresses) {
    auto good = server(0x11223344);
    auto typed = [&](uint32_t type) {
        auto spec = good;
        spec.type = type;
        return spec.encode();
    };
    auto elsewhere = good;
    elsewhere.ipAddress = ipv4("10.77.0.2");
    Bytes longer = good.encode();
    longer.push_back(0);
    Bytes shorter = good.encode();
    shorter.pop_back();
    Bytes garbled(128, 0xA5);
    struct Case {
        const char* name;
        std::vector<Bytes> before;
    } cases[] = {
        {"serial and USB and direct TCP/IP kinds",
         {typed(USB), typed(TCPIP), typed(SERIAL), typed(AWEAVE), typed(0), typed(8)}},
        {"short, long and garbled datagrams",
         {Bytes{0xBA, 0xDC, 0xCD, 0xAB}, shorter, longer, garbled, Bytes(1, 0)}},
        {"a server address other than loopback", {elsewhere.encode()}},
        {"silence (a server whose model is not set)", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tfsim::LoopbackResponder responder;
        responder.answer(c.before);
        EXPECT_TRUE(search(0).specs.empty());
        auto all = c.before;
        all.push_back(good.encode());
        responder.answer(all);
        Seen seen = search(0);
        ASSERT_EQ(seen.specs.size(), 1u);
        expectSpec(seen.specs[0], good);
    }
}

TEST_F(LoopbackDiscovery, ReportsOneServerOnceHoweverOftenItAnswers) {
    tfsim::LoopbackResponder first, second;
    auto spec = server(0x55AA55AA);
    first.answer({spec.encode(), spec.encode()});
    second.answer({spec.encode()}); // the same module published twice
    EXPECT_EQ(search(0).specs.size(), 1u);
}

TEST_F(LoopbackDiscovery, StopsWhenTheCallbackSaysSo) {
    tfsim::LoopbackResponder first, second;
    first.answer({server(1).encode()});
    second.answer({server(2).encode()});
    Seen seen = search(0, AWEAVE, 1);
    EXPECT_EQ(seen.specs.size(), 1u);
    EXPECT_EQ(first.queries() + second.queries(), 1u) << "no port is asked after the stop";
}

// A search in another process, started on a word from this one, so that both wait on the
// same answer ports at the same moment.
struct SearchProgram {
    pid_t pid = 0;
    FILE* out = nullptr;
    FILE* in = nullptr;
};

void startSearchProgram(SearchProgram& program) {
    int out[2], in[2];
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::pipe(in), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    std::string path = AWEAVE_SEARCH_PROGRAM;
    char* argv[] = {path.data(), nullptr};
    ASSERT_EQ(posix_spawn(&program.pid, path.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(in[0]);
    program.out = fdopen(out[0], "r");
    program.in = fdopen(in[1], "w");
    char line[64];
    ASSERT_NE(std::fgets(line, sizeof line, program.out), nullptr);
    ASSERT_STREQ(line, "ready\n");
}

std::vector<uint32_t> finishSearchProgram(SearchProgram& program) {
    std::vector<uint32_t> found;
    char line[64];
    unsigned serial = 0;
    while (std::fgets(line, sizeof line, program.out) != nullptr)
        if (std::sscanf(line, "serial %x", &serial) == 1) found.push_back(serial);
    std::fclose(program.out);
    int status = 0;
    EXPECT_EQ(::waitpid(program.pid, &status, 0), program.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::sort(found.begin(), found.end());
    return found;
}

TEST_F(LoopbackDiscovery, SearchesInTwoProcessesAtOnceBothFindEveryServer) {
    tfsim::LoopbackResponder first, second;
    first.answer({server(0xA1).encode()});
    second.answer({server(0xB2).encode()});
    // Long enough that both searches wait at the port when the answer comes.
    first.setDelay(600ms);
    second.setDelay(600ms);
    SearchProgram other;
    ASSERT_NO_FATAL_FAILURE(startSearchProgram(other));
    std::fputs("go\n", other.in);
    std::fclose(other.in);
    Seen here = search(0);
    EXPECT_EQ(serials(here), (std::vector<uint32_t>{0xA1, 0xB2}));
    EXPECT_EQ(finishSearchProgram(other), (std::vector<uint32_t>{0xA1, 0xB2}));
}

TEST_F(LoopbackDiscovery, FindsAServerAnnouncedByAnotherProcess) {
    simtest::SimProgram program;
    ASSERT_NO_FATAL_FAILURE(simtest::startSimProgram(
        {"--serial", "0x7E57AB1E", "--port", "7001", "--type", "7"}, program));
    unsigned offset = 99;
    ASSERT_EQ(std::fscanf(program.out, "offset %u", &offset), 1);
    Seen seen = search(0);
    simtest::stopSimProgram(program);
    std::fclose(program.out);
    ASSERT_EQ(seen.specs.size(), 1u);
    EXPECT_EQ(seen.specs[0].serialNumber, 0x7E57AB1Eu);
    EXPECT_EQ(seen.specs[0].type, AWEAVE_SERIAL);
    EXPECT_EQ(seen.specs[0].t.ip.ipPort, 7001u);
    EXPECT_EQ(seen.specs[0].t.ip.ipAddress, ipv4("127.0.0.1"));
}

class BeaconDiscovery : public testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_NAMESPACE();
        responder = std::make_unique<tfsim::BeaconResponder>("10.77.0.2", "10.77.0.255");
    }

    static tfsim::ServerSpec published(uint32_t serial, uint32_t type = AWEAVE_USB) {
        auto spec = server(serial, type);
        spec.ipAddress = ipv4("10.77.0.2");
        return spec;
    }

    std::unique_ptr<tfsim::BeaconResponder> responder;
};

TEST_F(BeaconDiscovery, FindsAServerOnTheChosenInterfaceOnce) {
    auto spec = published(0x40F5849A);
    responder->publish({spec.encode()});
    std::string before = zBeaconInterface_get();
    Seen seen = search(ipv4("10.77.0.1"), AWEAVE_USB);
    ASSERT_EQ(seen.specs.size(), 1u) << "published every 100 ms, reported once";
    expectSpec(seen.specs[0], spec);
    EXPECT_GE(responder->heard(), 1u);
    EXPECT_GT(responder->published(), 1u);
    // The interface lock is free again and czmq's interface is what it was.
    EXPECT_EQ(zBeaconInterface_get(), before);
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    zBeaconInterface_unlock();
}

TEST_F(BeaconDiscovery, IgnoresContentOfOtherKindsAndSizes) {
    auto good = published(0x11223344, AWEAVE_TCPIP);
    auto typed = [&](uint32_t type) {
        auto spec = good;
        spec.serial = type; // distinct records, so that none is taken for a repeat
        spec.type = type;
        return spec.encode();
    };
    Bytes shorter = good.encode();
    shorter.pop_back();
    Bytes longer = good.encode();
    longer.push_back(0);
    // The good record leads each round, so that all the others reach the search after it.
    responder->publish({good.encode(), typed(USB), typed(TCPIP), typed(SERIAL), typed(AWEAVE),
                        typed(0), typed(8), shorter, longer, Bytes(20, 'x')});
    Seen seen = search(ipv4("10.77.0.1"));
    ASSERT_EQ(seen.specs.size(), 1u);
    expectSpec(seen.specs[0], good);
}

// The lock is not recursive: a search on a thread that already holds it finds nothing, and
// must neither release the caller's lock nor put an old interface back.
TEST_F(BeaconDiscovery, SearchUnderTheCallersInterfaceLockLeavesItHeld) {
    responder->publish({published(1).encode()});
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.2"));
    EXPECT_TRUE(search(ipv4("10.77.0.1")).specs.empty());
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.2");
    std::atomic<bool> locked{false};
    std::thread other([&] {
        if (zBeaconInterface_setAndLock("")) {
            locked = true;
            zBeaconInterface_unlock();
        }
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(locked) << "the caller's lock was released under it";
    zBeaconInterface_unlock();
    other.join();
    EXPECT_TRUE(locked);
}

TEST_F(BeaconDiscovery, LoopbackSearchNeverSendsABeacon) {
    responder->publish({published(1).encode()});
    tfsim::LoopbackResponder local;
    local.answer({server(2).encode()});
    EXPECT_EQ(serials(search(ipv4("127.0.0.1"))), std::vector<uint32_t>{2});
    EXPECT_EQ(responder->heard(), 0u);
}

} // namespace
