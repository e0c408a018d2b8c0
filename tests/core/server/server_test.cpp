// The packet server in front of a TCP/IP link to the simulated module, driven by raw DEALER
// clients that send whatever frames a test wants and read what the server routes back.
#include <czmq.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LinkFixture.h"
#include "aLinkManagerInternal.h"
#include "aServer_ZeroMQ.h"
#include "zBeaconInterface.h"

using namespace linktest;
using tfsim::Bytes;
using tfsim::Packet;
namespace match = tfsim::match;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t MODULE = 0x06;
constexpr uint8_t ECHO = 0x17;    // a request the module echoes (not a UEI payload)
constexpr uint8_t UEI_CMD = 0x40; // a UEI bytes transfer

// A DEALER of the test's own, not the product's client stream.
class Client {
  public:
    explicit Client(uint16_t port, const char* host = "127.0.0.1")
        : socket_(zsock_new(ZMQ_DEALER)) {
        EXPECT_EQ(zsock_connect(socket_, "tcp://%s:%u", host, port), 0);
    }
    ~Client() { zsock_destroy(&socket_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const Bytes& frame) {
        zframe_t* f = zframe_new(frame.data(), frame.size());
        ASSERT_EQ(zframe_send(&f, socket_, 0), 0);
    }
    std::optional<Bytes> receive(std::chrono::milliseconds wait = 3s) {
        zsock_set_rcvtimeo(socket_, static_cast<int>(wait.count()));
        zframe_t* f = zframe_recv(socket_);
        if (!f) return std::nullopt;
        Bytes bytes(zframe_data(f), zframe_data(f) + zframe_size(f));
        zframe_destroy(&f);
        return bytes;
    }

  private:
    zsock_t* socket_;
};

Bytes echoRequest(uint8_t tag, uint8_t more = 0) {
    return Packet{MODULE, {ECHO, tag, more}}.wire();
}

// A packet of a UEI bytes transfer: 28 data bytes with the continue bit, or a short last one.
Packet bytesPacket(uint8_t tag, uint8_t seq, bool more) {
    Bytes data(more ? 28 : 6, tag);
    data[0] = UEI_CMD;
    data.back() = static_cast<uint8_t>((more ? 0x80 : 0) | (seq & 0x7F));
    return Packet{MODULE, data};
}

class ServerTest : public SimLink {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(connect());
        ASSERT_NO_FATAL_FAILURE(startServer());
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(aServer_Destroy(&server), aErrNone);
        }
        SimLink::TearDown();
    }
    void startServer(uint32_t interfaceAddress = 0) {
        server = aServer_Create(id, interfaceAddress, true);
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(aServer_Start(server), aErrNone);
        ASSERT_EQ(aServer_GetPort(server, &port), aErrNone);
        ASSERT_NE(port, 0);
    }
    // Answers every request to the module with its own bytes, heartbeat answers excepted
    // (echoed, they would come back as heartbeats); rules added before come first.
    void echoAll() {
        sim->onRequest(
            [](const Packet& p) {
                return p.address == MODULE && !(p.data.size() == 2 && p.data[0] == 0);
            },
            echo());
    }

    // The packets the module received since `since`.
    std::vector<Packet> receivedSince(uint64_t since) const {
        std::vector<Packet> packets;
        for (const auto& r : sim->received())
            if (r.seq >= since) packets.push_back(r.packet);
        return packets;
    }

    aServer* server = nullptr;
    uint16_t port = 0;
};

TEST(ServerCreate, RefusesUnknownIdsAndLinksOfOtherTypes) {
    EXPECT_EQ(aServer_Create(0x7FFFFFF0, 0, true), nullptr);
    uint32_t legacy = sCreate(0x1234, 0, LEGACY_LINK);
    ASSERT_NE(legacy, 0u);
    EXPECT_EQ(aServer_Create(legacy, 0, true), nullptr);
    sFreeEntry(sExtractEntry(legacy));

    aServer* none = nullptr;
    uint16_t port = 0;
    uint32_t address = 0;
    EXPECT_EQ(aServer_Start(nullptr), aErrParam);
    EXPECT_EQ(aServer_Destroy(&none), aErrParam);
    EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aServer_GetPort(nullptr, &port), aErrParam);
    EXPECT_EQ(aServer_GetInterface(nullptr, &address), aErrParam);
    EXPECT_EQ(aServer_SetModel(nullptr, 1), aErrParam);
    EXPECT_EQ(aServer_SetModuleAddress(nullptr, 1), aErrParam);
    EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
}

TEST_F(ServerTest, LocalOnlyServesAndReportsLoopback) {
    aServer_Destroy(&server);
    ASSERT_NO_FATAL_FAILURE(startServer(htonl(0x0A4D0001))); // 10.77.0.1 asked for
    uint32_t served = 0;
    ASSERT_EQ(aServer_GetInterface(server, &served), aErrNone);
    EXPECT_EQ(served, loopback());
    EXPECT_EQ(aServer_GetPort(server, nullptr), aErrParam);
    EXPECT_EQ(aServer_GetInterface(server, nullptr), aErrParam);
    echoAll();
    Client client(port);
    client.send(echoRequest(1));
    EXPECT_EQ(client.receive(), echoRequest(1));
}

// An interface that is not this host's cannot be bound: the start fails, and the destroy
// releases what it had made.
TEST_F(ServerTest, StartFailsOnAForeignInterface) {
    aServer_Destroy(&server);
    server = aServer_Create(id, htonl(0xC0000201), false); // 192.0.2.1, a documentation net
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(aServer_Start(server), aErrResource);
    EXPECT_EQ(aServer_Start(server), aErrBusy) << "a failed start is not tried again";
}

// A second start would make a second set of sockets and actors over the first.
TEST_F(ServerTest, StartsOnce) {
    EXPECT_EQ(aServer_Start(server), aErrBusy);
    echoAll();
    Client client(port);
    client.send(echoRequest(1));
    EXPECT_EQ(client.receive(), echoRequest(1)) << "the first start still serves";
}

// Each frame is followed by a marker request: the module must have seen exactly the packets
// listed, then the marker, and the client the replies listed, then the marker's echo.
TEST_F(ServerTest, TakesOnlyTheFirstPacketOfWellFormedFramesAndBlocksRouting) {
    struct Case {
        const char* name;
        Bytes frame;
        std::vector<Packet> reaches; // what the module sees; each is echoed back
    };
    Bytes longest{MODULE, 28};
    for (uint8_t i = 0; i < 28; i++)
        longest.push_back(i == 0 ? ECHO : i);
    Bytes tooLong = longest;
    tooLong.push_back(0);
    tooLong[1] = 29;
    Bytes packed = echoRequest(0x21);
    for (uint8_t b : echoRequest(0x22))
        packed.push_back(b);
    const std::vector<Case> cases = {
        {"empty frame", {}, {}},
        {"one byte", {MODULE}, {}},
        {"two bytes", {MODULE, 0}, {Packet{MODULE, {}}}},
        {"thirty bytes", longest, {Packet{MODULE, Bytes(longest.begin() + 2, longest.end())}}},
        {"thirty-one bytes", tooLong, {}},
        {"length beyond the frame", {MODULE, 5, ECHO, 1}, {}},
        {"two packets in one frame", packed, {Packet{MODULE, {ECHO, 0x21, 0}}}},
        {"one data byte, echoed as a three-byte reply",
         {MODULE, 1, 0x01},
         {Packet{MODULE, {0x01}}}},
        {"route command", {0xAF, 1, 1}, {}},
        {"longer packet to the route address", {0xAF, 2, ECHO, 1}, {}},
        {"packet to address 0", {0x00, 2, ECHO, 1}, {}},
    };
    echoAll();
    Client client(port);
    uint8_t tag = 0x40;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t since = sim->mark();
        client.send(c.frame);
        client.send(echoRequest(++tag));
        for (const auto& p : c.reaches)
            EXPECT_EQ(client.receive(), p.wire());
        EXPECT_EQ(client.receive(), echoRequest(tag));
        std::vector<Packet> expected = c.reaches;
        expected.push_back(Packet{MODULE, {ECHO, tag, 0}});
        EXPECT_EQ(receivedSince(since), expected);
    }
}

TEST_F(ServerTest, ReplyGroupOfContinuedPacketsReachesTheClientWhole) {
    std::vector<Packet> group = {bytesPacket(0x61, 0, true), bytesPacket(0x62, 1, true),
                                 bytesPacket(0x63, 2, false)};
    sim->onRequest(match::prefix(MODULE, {UEI_CMD, 0x01}), tfsim::reply(group));
    Client client(port);
    client.send(Packet{MODULE, {UEI_CMD, 0x01}}.wire());
    for (const auto& p : group)
        EXPECT_EQ(client.receive(), p.wire());
    EXPECT_EQ(client.receive(500ms), std::nullopt);
}

TEST_F(ServerTest, InterleavedClientsEachGetTheirOwnReplies) {
    constexpr int CLIENTS = 4;
    constexpr int REQUESTS = 250;
    constexpr int BURST = 5;
    echoAll();
    std::atomic<int> misrouted{0}, lost{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < CLIENTS; c++)
        threads.emplace_back([&, c] {
            Client client(port);
            for (int n = 0; n < REQUESTS; n += BURST) {
                for (int b = 0; b < BURST; b++)
                    client.send(echoRequest(static_cast<uint8_t>(c), static_cast<uint8_t>(n + b)));
                for (int b = 0; b < BURST; b++) {
                    auto reply = client.receive(5s);
                    if (!reply)
                        ++lost;
                    else if (*reply !=
                             echoRequest(static_cast<uint8_t>(c), static_cast<uint8_t>(n + b)))
                        ++misrouted;
                }
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(misrouted, 0);
    EXPECT_EQ(lost, 0);
}

// A request the module answers too late costs its client the reply, and the late answer is
// never handed to the next request.
TEST_F(ServerTest, LateReplyReachesNobody) {
    sim->onRequest(match::prefix(MODULE, {ECHO, 0xEE}), echo(), {.delay = 2500ms, .times = 1});
    echoAll();
    Client slow(port), next(port);
    slow.send(echoRequest(0xEE));
    ASSERT_TRUE(sim->waitForPacket(match::prefix(MODULE, {ECHO, 0xEE}), 2s));
    std::this_thread::sleep_for(3200ms); // the late reply has come and sits in the in-FIFO
    next.send(echoRequest(0x01));
    EXPECT_EQ(next.receive(), echoRequest(0x01));
    EXPECT_EQ(slow.receive(300ms), std::nullopt);
    slow.send(echoRequest(0x02));
    EXPECT_EQ(slow.receive(), echoRequest(0x02));
}

TEST_F(ServerTest, FlushForgetsWaitingClients) {
    sim->onRequest(match::prefix(MODULE, {ECHO, 0xF1}), echo(), {.delay = 600ms, .times = 1});
    echoAll();
    Client client(port);
    client.send(echoRequest(0xF1));
    ASSERT_TRUE(sim->waitForPacket(match::prefix(MODULE, {ECHO, 0xF1}), 2s));
    ASSERT_EQ(aServer_FlushFIFO(server), aErrNone);
    EXPECT_EQ(client.receive(1500ms), std::nullopt);
    client.send(echoRequest(0x02));
    EXPECT_EQ(client.receive(), echoRequest(0x02));
}

TEST_F(ServerTest, DestroyWhileAClientWaitsReturnsPromptly) {
    sim->onRequest(match::prefix(MODULE, {ECHO, 0xF2}), tfsim::ignore());
    Client client(port);
    client.send(echoRequest(0xF2));
    ASSERT_TRUE(sim->waitForPacket(match::prefix(MODULE, {ECHO, 0xF2}), 2s));
    auto start = Clock::now();
    ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_EQ(server, nullptr);
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(ServerTest, CanBeMadeAgainOnTheSameLinkAndGoesWithIt) {
    ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    ASSERT_NO_FATAL_FAILURE(startServer());
    echoAll();
    {
        Client client(port);
        client.send(echoRequest(3));
        EXPECT_EQ(client.receive(), echoRequest(3));
    }
    // Held by the link from here: its teardown destroys the server (the sanitizers judge).
    sLookupEntryByID(id)->server = server;
    server = nullptr;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// Sends the packets of a UEI bytes transfer of `count` packets (all but the last with the
// continue bit); `finish` false leaves the last one out.
void sendTransfer(Client& client, uint8_t tag, int count, bool finish = true) {
    for (int i = 0; i < (finish ? count : count - 1); i++)
        client.send(bytesPacket(tag, static_cast<uint8_t>(i), i + 1 < count).wire());
}

// The module answers the last packet of a transfer only.
tfsim::Responder answerLast() {
    return [](const Packet& request) {
        if (request.data.back() & 0x80) return Bytes{};
        return Packet{MODULE, {UEI_CMD, request.data[1], 0}}.wire();
    };
}

TEST_F(ServerTest, PooledTransferReachesTheModuleUnbroken) {
    sim->onRequest(match::prefix(MODULE, {UEI_CMD}), answerLast());
    echoAll();
    Client client(port), other(port);
    for (int count : {3, 200}) {
        SCOPED_TRACE(count);
        auto tag = static_cast<uint8_t>(count);
        uint64_t since = sim->mark();
        sendTransfer(client, tag, count, false);
        // Another client's request overtakes the unfinished transfer.
        other.send(echoRequest(tag));
        EXPECT_EQ(other.receive(), echoRequest(tag));
        EXPECT_EQ(receivedSince(since), (std::vector<Packet>{Packet{MODULE, {ECHO, tag, 0}}}));

        since = sim->mark();
        client.send(bytesPacket(tag, static_cast<uint8_t>(count - 1), false).wire());
        EXPECT_EQ(client.receive(), (Packet{MODULE, {UEI_CMD, tag, 0}}.wire()));
        std::vector<Packet> expected;
        for (int i = 0; i < count; i++)
            expected.push_back(bytesPacket(tag, static_cast<uint8_t>(i), i + 1 < count));
        EXPECT_EQ(receivedSince(since), expected);
    }
}

TEST_F(ServerTest, BrokenTransferIsDiscardedAndAFreshStartReplacesAPool) {
    sim->onRequest(match::prefix(MODULE, {UEI_CMD}), answerLast());
    Client client(port);

    // 0 then 2: the pool goes at once, and the next transfer starts afresh.
    uint64_t since = sim->mark();
    client.send(bytesPacket(0xB1, 0, true).wire());
    client.send(bytesPacket(0xB1, 2, false).wire());
    sendTransfer(client, 0xB2, 3);
    EXPECT_EQ(client.receive(), (Packet{MODULE, {UEI_CMD, 0xB2, 0}}.wire()));
    std::vector<Packet> expected;
    for (int i = 0; i < 3; i++)
        expected.push_back(bytesPacket(0xB2, static_cast<uint8_t>(i), i < 2));
    EXPECT_EQ(receivedSince(since), expected);

    // An unfinished transfer is replaced by a new one from its start.
    since = sim->mark();
    client.send(bytesPacket(0xB3, 0, true).wire());
    client.send(bytesPacket(0xB3, 1, true).wire());
    sendTransfer(client, 0xB4, 3);
    EXPECT_EQ(client.receive(), (Packet{MODULE, {UEI_CMD, 0xB4, 0}}.wire()));
    expected.clear();
    for (int i = 0; i < 3; i++)
        expected.push_back(bytesPacket(0xB4, static_cast<uint8_t>(i), i < 2));
    EXPECT_EQ(receivedSince(since), expected);
}

} // namespace

namespace {

// A UEI stream sample: option flags clear, index bit 6 set.
Packet sample(uint8_t n, size_t size = 6) {
    Bytes data(size, n);
    data[0] = UEI_CMD;
    data[1] = 0x00;
    data[2] = 0x40;
    return Packet{MODULE, data};
}

TEST_F(ServerTest, StreamBatchesReachEveryStreamingClientOnce) {
    echoAll();
    Client first(port), second(port), other(port);
    const Bytes enable = Packet{MODULE, {0x5D, 0x81, 0, 0, 0, 0, 0}}.wire();
    const Bytes notEnable = Packet{MODULE, {0x5D, 0x82, 0, 0, 0, 0, 0}}.wire();
    for (Client* c : {&first, &first, &second}) {
        c->send(enable); // answered like any request
        EXPECT_EQ(c->receive(), enable);
    }
    other.send(notEnable);
    EXPECT_EQ(other.receive(), notEnable);

    std::vector<Packet> samples = {sample(1), sample(2), sample(3)};
    for (const auto& p : samples)
        ASSERT_TRUE(sim->send(p));
    ASSERT_TRUE(sim->sendHeartbeat(0)); // the batch leaves at the heartbeat
    const Bytes batch = tfsim::wire(samples);
    EXPECT_EQ(first.receive(), batch);
    EXPECT_EQ(second.receive(), batch);
    EXPECT_EQ(first.receive(300ms), std::nullopt);
    EXPECT_EQ(other.receive(300ms), std::nullopt);

    // Without a heartbeat a batch leaves as soon as it holds more than 4065 bytes.
    samples.clear();
    for (int i = 0; i < 200; i++)
        samples.push_back(sample(static_cast<uint8_t>(i), 20));
    for (const auto& p : samples)
        ASSERT_TRUE(sim->send(p));
    constexpr size_t FIRST = 185; // 185 packets of 22 bytes pass 4065
    EXPECT_EQ(first.receive(), tfsim::wire({samples.begin(), samples.begin() + FIRST}));
    EXPECT_EQ(first.receive(300ms), std::nullopt);
    ASSERT_TRUE(sim->sendHeartbeat(0));
    EXPECT_EQ(first.receive(), tfsim::wire({samples.begin() + FIRST, samples.end()}));
    EXPECT_EQ(second.receive(), tfsim::wire({samples.begin(), samples.begin() + FIRST}));
}

} // namespace

namespace {

// A loopback discovery query of the test's own: the magic to 224.0.0.7 port 9850+k, the
// answer awaited on 9950+k.
class LoopbackQuery {
  public:
    explicit LoopbackQuery(int k) : k_(k) {
        const in_addr lo{htonl(INADDR_LOOPBACK)};
        receiver_ = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        setsockopt(receiver_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<uint16_t>(9950 + k));
        EXPECT_EQ(bind(receiver_, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
        ip_mreq join{};
        join.imr_multiaddr.s_addr = htonl(0xE0000007);
        join.imr_interface = lo;
        EXPECT_EQ(setsockopt(receiver_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)), 0);
        sender_ = socket(AF_INET, SOCK_DGRAM, 0);
        setsockopt(sender_, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo));
        unsigned char loop = 1;
        setsockopt(sender_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
    }
    ~LoopbackQuery() {
        close(receiver_);
        close(sender_);
    }
    LoopbackQuery(const LoopbackQuery&) = delete;
    LoopbackQuery& operator=(const LoopbackQuery&) = delete;

    // The answer to one query, or nothing within `wait`.
    std::optional<linkSpec> ask(std::chrono::milliseconds wait = 1500ms) {
        const uint8_t magic[4] = {0xBA, 0xDC, 0xCD, 0xAB};
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(9850 + k_));
        to.sin_addr.s_addr = htonl(0xE0000007);
        EXPECT_EQ(
            sendto(sender_, magic, sizeof(magic), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
            4);
        timeval tv{static_cast<time_t>(wait.count() / 1000),
                   static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
        setsockopt(receiver_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        linkSpec spec{};
        if (recv(receiver_, &spec, sizeof(spec), 0) != static_cast<ssize_t>(sizeof(spec)))
            return std::nullopt;
        return spec;
    }

  private:
    int k_;
    int receiver_ = -1;
    int sender_ = -1;
};

TEST_F(ServerTest, LocalServerAnswersLoopbackDiscoveryOnceItHasAModel) {
    LoopbackQuery query(0);
    EXPECT_EQ(query.ask(), std::nullopt);
    ASSERT_EQ(aServer_SetModuleAddress(server, MODULE), aErrNone);
    ASSERT_EQ(aServer_SetModel(server, 0x13), aErrNone);
    auto spec = query.ask();
    ASSERT_TRUE(spec);
    EXPECT_EQ(spec->type, AWEAVE_TCPIP);
    EXPECT_EQ(spec->serialNumber, serial);
    EXPECT_EQ(spec->moduleAddress, MODULE);
    EXPECT_EQ(spec->model, 0x13u);
    EXPECT_EQ(spec->t.ip.ipAddress, loopback());
    EXPECT_EQ(spec->t.ip.ipPort, port);
}

TEST_F(ServerTest, SecondLocalServerTakesTheNextDiscoveryPort) {
    aServer* second = aServer_Create(id, 0, true);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(aServer_Start(second), aErrNone);
    uint16_t secondPort = 0;
    aServer_GetPort(second, &secondPort);
    aServer_SetModel(server, 1);
    aServer_SetModel(second, 2);
    LoopbackQuery first(0), next(1);
    auto a = first.ask(), b = next.ask();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->t.ip.ipPort, port);
    EXPECT_EQ(b->t.ip.ipPort, secondPort);
    EXPECT_EQ(aServer_Destroy(&second), aErrNone);
}

} // namespace

namespace {

bool hostHas(const char* address) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, address, &at.sin_addr);
    bool ok = bind(s, reinterpret_cast<sockaddr*>(&at), sizeof(at)) == 0;
    close(s);
    return ok;
}

// A discovery search of the test's own: a czmq beacon on the far end of the test network's
// veth pair that sends the discovery text and collects every 128-byte answer.
class BeaconSearch {
  public:
    BeaconSearch() {
        EXPECT_TRUE(zBeaconInterface_setAndLock("10.77.0.2"));
        beacon_ = zactor_new(zbeacon, nullptr);
        zsock_send(beacon_, "si", "CONFIGURE", 8585);
        char* host = zstr_recv(beacon_);
        zBeaconInterface_unlock();
        EXPECT_STREQ(host, "10.77.0.2");
        zstr_free(&host);
        zsock_send(beacon_, "sb", "SUBSCRIBE", "", 0);
    }
    ~BeaconSearch() { zactor_destroy(&beacon_); }
    BeaconSearch(const BeaconSearch&) = delete;
    BeaconSearch& operator=(const BeaconSearch&) = delete;

    void sendDiscovery() {
        zsock_send(beacon_, "sbi", "PUBLISH", "Tessaform2-Discovery", size_t(20), 100);
    }
    void silence() { zstr_send(beacon_, "SILENCE"); }
    // The answers heard within `wait`.
    std::vector<linkSpec> listen(std::chrono::milliseconds wait) {
        std::vector<linkSpec> answers;
        auto end = Clock::now() + wait;
        zsock_set_rcvtimeo(beacon_, 100);
        while (Clock::now() < end) {
            char* sender = zstr_recv(beacon_);
            if (!sender) continue;
            zframe_t* content = zframe_recv(beacon_);
            if (content && zframe_size(content) == sizeof(linkSpec)) {
                linkSpec spec;
                memcpy(&spec, zframe_data(content), sizeof(spec));
                answers.push_back(spec);
            }
            zframe_destroy(&content);
            zstr_free(&sender);
        }
        return answers;
    }

  private:
    zactor_t* beacon_ = nullptr;
};

TEST_F(ServerTest, NetworkServerPublishesItsSpecWhenABeaconSearchIsHeard) {
    if (!hostHas("10.77.0.1") || !hostHas("10.77.0.2"))
        GTEST_SKIP() << "needs the test network (scripts/netns)";
    aServer_Destroy(&server);
    server = aServer_Create(id, 0, false);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    uint32_t served = 0;
    ASSERT_EQ(aServer_GetInterface(server, &served), aErrNone);
    char text[16] = "";
    inet_ntop(AF_INET, &served, text, sizeof(text));
    ASSERT_EQ(aServer_GetPort(server, &port), aErrNone);

    BeaconSearch search;
    search.sendDiscovery();
    EXPECT_TRUE(search.listen(1s).empty()) << "answered before it had a model";
    aServer_SetModuleAddress(server, MODULE);
    aServer_SetModel(server, 0x13);
    auto answers = search.listen(1500ms);
    search.silence();
    ASSERT_FALSE(answers.empty());
    EXPECT_GE(answers.size(), 5u); // published every 100 ms
    const linkSpec& spec = answers.front();
    EXPECT_EQ(spec.type, AWEAVE_TCPIP);
    EXPECT_EQ(spec.serialNumber, serial);
    EXPECT_EQ(spec.model, 0x13u);
    EXPECT_EQ(spec.t.ip.ipAddress, served) << text;
    EXPECT_EQ(spec.t.ip.ipPort, port);
    echoAll();
    Client client(port, text);
    client.send(echoRequest(9));
    EXPECT_EQ(client.receive(), echoRequest(9));

    // The window opened by the first search heard lasts two to three seconds, and searches
    // heard within it do not lengthen it.
    EXPECT_FALSE(search.listen(3500ms).empty()) << "still publishing after the search stopped";
    EXPECT_TRUE(search.listen(1s).empty()) << "the publishing window never closed";
}

} // namespace
