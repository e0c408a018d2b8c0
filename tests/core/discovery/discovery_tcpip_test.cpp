// The TCP/IP query against the simulator's discovery responder on tf1 (10.77.0.2), asked
// through tf0 (10.77.0.1) unless a case says otherwise, and a link to what it found.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "DiscoveryCollect.h"
#include "Eventually.h"
#include "TestNetwork.h"
#include "aLink.h"
#include "discover.h"
#include "tfsim/DiscoveryResponder.h"
#include "tfsim/Module.h"

namespace {

using namespace std::chrono_literals;
using disctest::collect;
using disctest::ipv4;
using disctest::Seen;

class TcpipDiscovery : public testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_NAMESPACE();
        responder = std::make_unique<tfsim::DiscoveryResponder>("10.77.0.2");
    }

    Seen search(uint32_t networkInterface = ipv4("10.77.0.1"), uint8_t* count = nullptr) {
        Seen seen;
        uint8_t n = aDiscovery_EnumerateModules(TCPIP, collect, &seen, networkInterface);
        if (count) *count = n;
        EXPECT_EQ(n, seen.specs.size());
        return seen;
    }

    static tfsim::DiscoveryAnswer answer(uint32_t serial, size_t length = 16) {
        tfsim::DiscoveryAnswer a;
        a.address = 0x0C;
        a.port = 8016;
        a.serial = serial;
        a.model = 0x12;
        a.length = length;
        return a;
    }

    static std::vector<uint32_t> serials(const Seen& seen) {
        std::vector<uint32_t> s;
        for (const auto& spec : seen.specs)
            s.push_back(spec.serialNumber);
        std::sort(s.begin(), s.end());
        return s;
    }

    std::unique_ptr<tfsim::DiscoveryResponder> responder;
};

TEST_F(TcpipDiscovery, FindsAModuleAndLinksToIt) {
    tfsim::Module sim({.address = 0x06});
    auto a = responder->answerFor(sim, 0x40F5849A, 0x12);
    responder->add(a);

    Seen seen = search();
    EXPECT_EQ(responder->queries(), 1u) << "one query through the one interface asked for";
    ASSERT_EQ(seen.specs.size(), 1u);
    linkSpec expected{};
    expected.type = TCPIP;
    expected.serialNumber = 0x40F5849A;
    expected.moduleAddress = 0x06;
    expected.routerAddress = 0x06;
    expected.routerSerialNumber = 0x40F5849A;
    expected.model = 0x12;
    expected.t.ip.ipAddress = ipv4("10.77.0.2");
    expected.t.ip.ipPort = a.port;
    EXPECT_EQ(std::memcmp(&seen.specs[0], &expected, sizeof(linkSpec)), 0);

    const linkSpec& found = seen.specs[0];
    uint32_t id = aLink_CreateTCPIP(found.serialNumber, found.t.ip.ipAddress,
                                    static_cast<uint16_t>(found.t.ip.ipPort & 0xFFFFu));
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(tftest::eventually([&] { return aLink_GetStatus(id) == aLINK_STATUS_RUNNING; }));
    EXPECT_TRUE(sim.waitForConnection(1, 5s)) << "the link reached the simulated module";
    aLink_Destroy(&id);
}

TEST_F(TcpipDiscovery, FindsSeveralModulesAndFindModulePicksOne) {
    tfsim::Module first({.address = 0x02});
    tfsim::Module second({.address = 0x04});
    tfsim::Module third({.address = 0x06});
    responder->add(responder->answerFor(first, 0x1001, 1));
    responder->add(responder->answerFor(second, 0x1002, 2));
    responder->add(responder->answerFor(third, 0x1003, 3));

    Seen seen = search();
    EXPECT_EQ(serials(seen), (std::vector<uint32_t>{0x1001, 0x1002, 0x1003}));
    for (const auto& spec : seen.specs) {
        EXPECT_EQ(spec.model, spec.serialNumber - 0x1000);
        EXPECT_EQ(spec.moduleAddress, 2 * spec.model);
    }

    linkSpec* found = aDiscovery_FindModule(TCPIP, 0x1002, ipv4("10.77.0.1"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, TCPIP);
    EXPECT_EQ(found->moduleAddress, 0x04u);
    EXPECT_EQ(found->t.ip.ipAddress, ipv4("10.77.0.2"));
    aLinkSpec_Destroy(&found);
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x1004, ipv4("10.77.0.1")), nullptr);
}

TEST_F(TcpipDiscovery, ShortAnswers) {
    struct Case {
        size_t length;
        bool reported;
        uint32_t model;
    };
    const Case cases[] = {{16, true, 0x12}, {13, true, 0x12}, {12, true, 0xFF},
                          {8, true, 0xFF},  {7, false, 0},    {1, false, 0}};
    // The 16-byte answer goes first, so a later short one would show its leftovers.
    for (const auto& c : cases) {
        auto a = answer(0x2000 + static_cast<uint32_t>(c.length), c.length);
        responder->add(a);
    }
    Seen seen = search();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        auto it = std::find_if(seen.specs.begin(), seen.specs.end(), [&](const linkSpec& s) {
            return s.serialNumber == 0x2000 + c.length;
        });
        ASSERT_EQ(it != seen.specs.end(), c.reported);
        if (!c.reported) continue;
        EXPECT_EQ(it->model, c.model);
        EXPECT_EQ(it->t.ip.ipPort, 8016u) << "bytes 2 and 3 are 0x50 0x1F";
        EXPECT_EQ(it->moduleAddress, 0x0Cu);
    }
    EXPECT_EQ(seen.specs.size(), 4u);
}

TEST_F(TcpipDiscovery, DuplicatesAreReportedAsTheyCome) {
    auto a = answer(0x3001);
    a.copies = 3;
    responder->add(a);
    responder->add(answer(0x3002));
    Seen seen = search();
    EXPECT_EQ(serials(seen), (std::vector<uint32_t>{0x3001, 0x3001, 0x3001, 0x3002}));
}

TEST_F(TcpipDiscovery, AnAnswerAfterTheQuietTimeIsNotWaitedFor) {
    responder->add(answer(0x4001));
    auto late = answer(0x4002);
    late.delay = 2600ms;
    responder->add(late);

    auto start = std::chrono::steady_clock::now();
    Seen seen = search();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(serials(seen), (std::vector<uint32_t>{0x4001}));
    EXPECT_GE(took, 1900ms) << "the search waits out its quiet time";
    std::this_thread::sleep_for(1s); // the late answer goes out, to a closed socket
}

TEST_F(TcpipDiscovery, AnswersWithinTheQuietTimeKeepTheSearchGoing) {
    for (int i = 0; i < 3; i++) {
        auto a = answer(0x5000 + static_cast<uint32_t>(i));
        a.delay = std::chrono::milliseconds(1200 * i); // each within 2 s of the one before
        responder->add(a);
    }
    EXPECT_EQ(serials(search()), (std::vector<uint32_t>{0x5000, 0x5001, 0x5002}));
}

TEST_F(TcpipDiscovery, EndsAfter255AnswersWhenAnswersKeepComing) {
    auto a = answer(0x6001);
    a.copies = 300;
    a.interval = 1ms;
    responder->add(a);
    uint8_t count = 0;
    Seen seen = search(ipv4("10.77.0.1"), &count);
    EXPECT_EQ(count, 255);
    EXPECT_EQ(seen.specs.size(), 255u);
}

TEST_F(TcpipDiscovery, StopsWhenTheCallbackSaysSo) {
    for (uint32_t s = 0x7001; s <= 0x7004; s++)
        responder->add(answer(s));
    Seen seen;
    seen.stopAfter = 2;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &seen, ipv4("10.77.0.1")), 2);
    EXPECT_EQ(seen.specs.size(), 2u);
}

TEST_F(TcpipDiscovery, EveryInterfaceIsAskedForZeroAndLoopback) {
    responder->add(answer(0x8001));
    for (uint32_t iface : {0u, ipv4("127.0.0.1")}) {
        SCOPED_TRACE(iface);
        unsigned before = responder->queries();
        Seen seen = search(iface);
        // Sent through tf0 and tf1; the responder on tf1 hears both (the second looped back),
        // and the module answers each.
        EXPECT_EQ(responder->queries() - before, 2u);
        EXPECT_EQ(serials(seen), (std::vector<uint32_t>{0x8001, 0x8001}));
    }
    EXPECT_EQ(responder->ignored(), 0u) << "every query was 16 bytes starting with 1";
}

TEST_F(TcpipDiscovery, NothingWithoutTheAnswerSocket) {
    responder->add(answer(0x9001));
    struct Case {
        const char* name;
        uint32_t iface;
        bool holdPort;
    };
    const Case cases[] = {
        {"port 9889 held without address reuse", ipv4("10.77.0.1"), true},
        {"an address that is not the host's", ipv4("10.77.0.9"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int holder = -1;
        if (c.holdPort) {
            holder = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            any.sin_port = htons(9889);
            ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        }
        EXPECT_TRUE(search(c.iface).specs.empty());
        if (holder >= 0) ::close(holder);
    }
}

} // namespace
