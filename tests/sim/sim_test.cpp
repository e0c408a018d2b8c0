// The module simulator, driven over a plain loopback socket as a host would.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tfsim/FrameParser.h"
#include "tfsim/Module.h"
#include "sim_tcp_client.h"
#include "sim_test_support.h"

using namespace simtest;

TEST(FrameParser, ReassemblesPacketsWhateverTheReadBoundaries) {
    struct Case {
        const char* name;
        std::vector<Bytes> chunks;
        std::vector<Packet> packets;
        std::vector<tfsim::FramingFault> faults;
    };
    using F = tfsim::FramingFault;
    Bytes full(28, 0x5A);
    Bytes fullWire = tfsim::wire(0x06, 28, full);
    std::vector<Bytes> bytewise;
    for (uint8_t b : fullWire)
        bytewise.push_back({b});
    const std::vector<Case> cases = {
        {"one packet, one read", {{0x06, 0x03, 1, 2, 3}}, {{0x06, {1, 2, 3}}}, {}},
        {"split inside the data", {{0x06, 0x03, 1}, {2, 3}}, {{0x06, {1, 2, 3}}}, {}},
        {"split after the address", {{0x06}, {0x01, 9}}, {{0x06, {9}}}, {}},
        {"28 bytes a byte at a time", bytewise, {{0x06, full}}, {}},
        {"many in one read, link-level odd addresses",
         {{0xAD, 0x00, 0xAF, 0x01, 0x01, 0x06, 0x02, 0x00, 0x02}},
         {{0xAD, {}}, {0xAF, {1}}, {0x06, {0, 2}}},
         {}},
        {"zero address skipped",
         {{0x00, 0x00, 0x06, 0x00}},
         {{0x06, {}}},
         {F::ZeroAddress, F::ZeroAddress}},
        {"length 29 dropped with its address",
         {{0x06, 29, 0x08, 0x00}},
         {{0x08, {}}},
         {F::BadLength}},
    };
    for (const Case& c : cases) {
        tfsim::FrameParser parser;
        std::vector<Packet> packets;
        std::vector<tfsim::FramingFault> faults;
        tfsim::FrameParser::Sink sink{[&](const Packet& p) { packets.push_back(p); },
                                      [&](tfsim::FramingFault f, uint8_t) { faults.push_back(f); }};
        for (const Bytes& chunk : c.chunks)
            parser.feed(chunk, sink);
        EXPECT_EQ(packets, c.packets) << c.name;
        EXPECT_EQ(faults, c.faults) << c.name;
        EXPECT_FALSE(parser.midPacket()) << c.name;
    }
}

TEST(ModuleSim, AnswersSyncSentInPiecesAndRecordsWholePackets) {
    tfsim::Module sim({.address = 0x0A});
    Client host(sim.port());
    connectAndWait(sim, host);

    host.write(Bytes{0xAD});
    std::this_thread::sleep_for(50ms);
    host.write(Bytes{0x00, 0x06, 0x03, 0x11});
    std::this_thread::sleep_for(50ms);
    const auto beforeLast = Clock::now();
    host.write(Bytes{0x22, 0x33});

    EXPECT_EQ(host.readPacket(), (Packet{0x0A, {}}));
    auto r = sim.waitForPacket(match::prefix(0x06), kWait);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->packet, (Packet{0x06, {0x11, 0x22, 0x33}}));
    EXPECT_GE(r->at, beforeLast);
    EXPECT_EQ(r->connection, 1u);
    EXPECT_EQ(sim.journal().syncsReceived(), 1u);
    auto all = sim.received();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].packet, kSync);
    EXPECT_LE(all[0].at, all[1].at);
    EXPECT_TRUE(sim.journal().framingErrors().empty());
}

TEST(ModuleSim, SyncAnswerFaults) {
    using S = tfsim::SyncAnswer;
    struct Case {
        S mode;
        Bytes answers; // to two syncs
    };
    const std::vector<Case> cases = {
        {S::Echo, {0x06, 0x00, 0x06, 0x00}},
        {S::Alternate, {0x06, 0x00, 0x08, 0x00}},
        {S::NonZeroLength, {0x06, 0x01, 0x00, 0x06, 0x01, 0x00}},
        {S::OddAddress, {0x07, 0x00, 0x07, 0x00}},
        {S::ZeroAddress, {0x00, 0x00, 0x00, 0x00}},
        {S::Ignore, {}},
    };
    for (const Case& c : cases) {
        tfsim::Module sim;
        sim.setSyncAnswer(c.mode);
        Client host(sim.port());
        connectAndWait(sim, host);
        host.write(tfsim::wire({kSync, kSync}));
        EXPECT_EQ(host.read(c.answers.size(), kWait), c.answers) << static_cast<int>(c.mode);
        EXPECT_EQ(host.read(1, kQuiet), Bytes{}) << static_cast<int>(c.mode);
    }
}

TEST(ModuleSim, RecordsRouteCommandsApartFromHeartbeatAnswers) {
    tfsim::Module sim;
    Client host(sim.port());
    connectAndWait(sim, host);
    host.write(tfsim::wire({{0xAF, {0x01}}, {0xAF, {0x00}}}));
    ASSERT_TRUE(sim.waitForPackets(2, kWait, match::route()));
    EXPECT_EQ(sim.journal().routeCommands(), (std::vector<uint8_t>{1, 0}));
    EXPECT_TRUE(sim.heartbeatAnswers().empty());
    EXPECT_EQ(host.read(1, kQuiet), Bytes{}); // nothing is said back
}

TEST(ModuleSim, ChecksEachHeartbeatAnswer) {
    struct Case {
        const char* name;
        uint8_t counter;
        Packet answer;
        bool right;
    };
    const std::vector<Case> cases = {
        {"up", 0x00, {0x06, {0x00, 0x02}}, true},
        {"down", 0x01, {0x06, {0x00, 0x03}}, true},
        {"counter wraps", 0xFF, {0x06, {0x00, 0x01}}, true},
        {"echoed unchanged", 0x00, {0x06, {0x00, 0x00}}, false},
        {"wrong address", 0x00, {0x08, {0x00, 0x02}}, false},
        {"extra byte", 0x01, {0x06, {0x00, 0x03, 0x00}}, false},
    };
    tfsim::Module sim;
    Client host(sim.port());
    connectAndWait(sim, host);
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        ASSERT_TRUE(sim.sendHeartbeat(c.counter)) << c.name;
        EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x00, c.counter}})) << c.name;
        EXPECT_EQ(sim.outstandingHeartbeats(), 1u) << c.name;
        host.write(c.answer);
        ASSERT_TRUE(sim.waitForHeartbeatAnswers(i + 1, kWait)) << c.name;
        auto a = sim.heartbeatAnswers().back();
        EXPECT_EQ(a.answer, c.answer) << c.name;
        ASSERT_TRUE(a.heartbeat) << c.name;
        EXPECT_EQ(a.heartbeat->counter, c.counter) << c.name;
        EXPECT_EQ(a.right, c.right) << c.name;
        EXPECT_EQ(sim.outstandingHeartbeats(), 0u) << c.name;
    }

    // An answer to a heartbeat never sent is wrong whatever it says.
    host.write(Packet{0x06, {0x00, 0x02}});
    ASSERT_TRUE(sim.waitForHeartbeatAnswers(cases.size() + 1, kWait));
    auto stray = sim.heartbeatAnswers().back();
    EXPECT_FALSE(stray.heartbeat);
    EXPECT_FALSE(stray.right);
}

TEST(ModuleSim, PeriodicHeartbeatsStopWhenAskedAndWhenSilent) {
    tfsim::Module sim({.heartbeatPeriod = 20ms});
    const tfsim::Journal& journal = sim.journal();
    Client host(sim.port());
    connectAndWait(sim, host);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x00, 0x00}}));

    // Once either call has returned no further heartbeat leaves.
    for (bool silence : {true, false}) {
        if (silence)
            sim.setSilent(true);
        else
            sim.stopHeartbeats();
        const size_t sent = journal.heartbeats().size();
        std::this_thread::sleep_for(kQuiet);
        EXPECT_EQ(journal.heartbeats().size(), sent) << silence;
        if (silence) {
            sim.setSilent(false);
            EXPECT_TRUE(journal.waitForHeartbeats(sent + 2, kWait));
        }
    }

    sim.startHeartbeats(20ms, 1);
    // Up heartbeats sent before the stop may still be on their way.
    for (bool down = false; !down;) {
        auto p = host.readPacket();
        ASSERT_TRUE(p.has_value());
        down = p->data == Bytes{0x00, 0x01};
        if (!down) {
            EXPECT_EQ(p->data, (Bytes{0x00, 0x00}));
        }
    }
}

TEST(ModuleSim, ScriptedRepliesInOrderOnceAndLate) {
    tfsim::Module sim;
    const Packet build{0x06, {0x49, 0xFF, 0x00, 0x00, 0x01, 0x02}};
    const Packet busy{0x06, {0x49, 0xEE}};
    auto first = sim.onRequest(match::prefix(0x06, {0x49, 0xFF}), tfsim::reply(busy), {.times = 1});
    auto later = sim.onRequest(match::prefix(0x06, {0x49}), tfsim::reply(build));
    // Rules come before the built-in answer, so a script can silence a sync.
    sim.onRequest(match::sync(), tfsim::ignore(), {.times = 1});
    auto late = sim.onRequest(match::prefix(0x06, {0x17}),
                              [](const Packet& req) { return req.wire(); }, // echo
                              {.delay = 150ms});
    Client host(sim.port());
    connectAndWait(sim, host);

    host.write(Packet{0x06, {0x49, 0xFF}});
    EXPECT_EQ(host.readPacket(), busy);
    host.write(Packet{0x06, {0x49, 0xFF}});
    EXPECT_EQ(host.readPacket(), build);
    EXPECT_EQ(sim.hits(first), 1u);
    EXPECT_EQ(sim.hits(later), 1u);

    host.write(kSync);
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});
    host.write(kSync);
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {}}));

    const Packet echo{0x06, {0x17, 1, 2}};
    const auto sent = Clock::now();
    host.write(echo);
    // Other traffic is not held up behind a late reply.
    host.write(kSync);
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {}}));
    EXPECT_EQ(host.readPacket(), echo);
    EXPECT_GE(Clock::now() - sent, 150ms);
    EXPECT_EQ(sim.hits(late), 1u);
}

TEST(ModuleSim, LateReplyIsNotDeliveredToTheNextConnection) {
    tfsim::Module sim;
    sim.onRequest(match::prefix(0x06, {0x17}), tfsim::reply(Packet{0x06, {0x17}}),
                  {.delay = 200ms});
    auto host = std::make_unique<Client>(sim.port());
    connectAndWait(sim, *host);
    host->write(Packet{0x06, {0x17}});
    ASSERT_TRUE(sim.waitForPacket(match::prefix(0x06, {0x17}), kWait));
    host->resetHere();

    Client again(sim.port());
    connectAndWait(sim, again, 2);
    EXPECT_EQ(again.read(1, 400ms), Bytes{});
}

TEST(ModuleSim, SilentModuleRecordsButAnswersNothing) {
    tfsim::Module sim;
    sim.onRequest(match::any(), tfsim::reply(Packet{0x06, {0x01}}));
    sim.setSilent(true);
    Client host(sim.port());
    connectAndWait(sim, host);
    host.write(tfsim::wire({kSync, {0x06, {0x03}}}));
    ASSERT_TRUE(sim.waitForPackets(2, kWait));
    EXPECT_EQ(host.read(1, kQuiet), Bytes{});
    sim.setSilent(false);
    host.write(kSync);
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x01}}));
}

TEST(ModuleSim, SendsRawBytesAsGivenWithPauses) {
    tfsim::Module sim;
    Client host(sim.port());
    connectAndWait(sim, host);

    // Nothing is checked on the way out: these are the faults a test injects.
    const std::vector<Bytes> faults = {
        Packet{0x07, {0x01}}.wire(),            // odd address
        Packet{0x00, {0x01}}.wire(),            // zero address
        tfsim::wire(0x06, 29, Bytes(29, 0xEE)), // length 29
    };
    for (const Bytes& b : faults) {
        ASSERT_TRUE(sim.sendRaw(b));
        EXPECT_EQ(host.read(b.size(), kWait), b);
    }

    const Bytes packet = Packet{0x06, {1, 2, 3, 4}}.wire();
    ASSERT_TRUE(sim.sendRaw(packet, {{1, 120ms}, {4, 120ms}}));
    // A packet queued meanwhile waits for the split one to finish.
    ASSERT_TRUE(sim.send(Packet{0x08, {}}));
    EXPECT_EQ(host.read(1, kWait), Bytes{0x06});
    auto t = Clock::now();
    EXPECT_EQ(host.read(3, kWait), (Bytes{0x04, 1, 2}));
    EXPECT_GE(Clock::now() - t, 100ms);
    t = Clock::now();
    EXPECT_EQ(host.read(4, kWait), (Bytes{3, 4, 0x08, 0x00}));
    EXPECT_GE(Clock::now() - t, 100ms);
}

TEST(ModuleSim, ResetAndCloseAreSeenByTheHostAndANewConnectionIsTaken) {
    struct Case {
        const char* name;
        bool reset;
        Client::End seen;
        tfsim::LinkEventKind recorded;
    };
    const std::vector<Case> cases = {
        {"reset", true, Client::End::Reset, tfsim::LinkEventKind::ResetHere},
        {"close", false, Client::End::Fin, tfsim::LinkEventKind::ClosedHere},
    };
    for (const Case& c : cases) {
        tfsim::Module sim;
        Client first(sim.port());
        connectAndWait(sim, first);
        ASSERT_TRUE(c.reset ? sim.reset() : sim.close()) << c.name;
        EXPECT_EQ(first.waitForEnd(), c.seen) << c.name;
        ASSERT_TRUE(sim.journal().waitForLinkEvent(c.recorded, kWait)) << c.name;
        EXPECT_FALSE(sim.send(Packet{0x06, {}})) << c.name;

        Client second(sim.port());
        connectAndWait(sim, second, 2);
        second.write(kSync);
        EXPECT_EQ(second.readPacket(), (Packet{0x06, {}})) << c.name;
    }
}

TEST(ModuleSim, CloseWritesQueuedOutputFirst) {
    tfsim::Module sim;
    // A rule may end the link right after its reply.
    sim.onRequest(match::prefix(0x06, {0x5F}), tfsim::reply(Packet{0x06, {0x5F, 0x00}}),
                  {.then = tfsim::Action::Close});
    Client host(sim.port());
    connectAndWait(sim, host);
    host.write(Packet{0x06, {0x5F}});
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {0x5F, 0x00}}));
    EXPECT_EQ(host.waitForEnd(), Client::End::Fin);
}

TEST(ModuleSim, RecordsHowTheHostEndedTheConnection) {
    tfsim::Module sim;
    auto a = std::make_unique<Client>(sim.port());
    connectAndWait(sim, *a);
    a->closeHere();
    EXPECT_TRUE(sim.journal().waitForLinkEvent(tfsim::LinkEventKind::PeerClosed, kWait));

    auto b = std::make_unique<Client>(sim.port());
    connectAndWait(sim, *b, 2);
    b->resetHere();
    EXPECT_TRUE(sim.journal().waitForLinkEvent(tfsim::LinkEventKind::PeerReset, kWait));

    // A host that reconnects without closing: the newer connection wins.
    Client c(sim.port());
    connectAndWait(sim, c, 3);
    Client d(sim.port());
    connectAndWait(sim, d, 4);
    EXPECT_TRUE(sim.journal().waitForLinkEvent(tfsim::LinkEventKind::Replaced, kWait));
    EXPECT_EQ(c.waitForEnd(), Client::End::Reset);
    d.write(kSync);
    EXPECT_EQ(d.readPacket(), (Packet{0x06, {}}));
}

TEST(ModuleSim, RefusesConnectsWhileNotAccepting) {
    tfsim::Module sim;
    const uint16_t port = sim.port();
    sim.setAccepting(false);
    Client refused(port);
    EXPECT_FALSE(refused.connected());
    EXPECT_EQ(refused.connectErrno(), ECONNREFUSED);

    sim.setAccepting(true);
    EXPECT_EQ(sim.port(), port);
    Client host(port);
    connectAndWait(sim, host);
    host.write(kSync);
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {}}));
}

TEST(ModuleSim, StoppedReaderMakesTheHostsSendsBlock) {
    tfsim::Module sim; // its default receive buffer is already small
    Client host(sim.port(), 4096);
    connectAndWait(sim, host);
    sim.stopReading();
    host.write(kSync);
    EXPECT_EQ(host.read(1, kQuiet), Bytes{}); // the sync lies unread

    const Bytes packet = Packet{0x06, Bytes(28, 0x42)}.wire();
    size_t sent = 0; // bytes
    bool blocked = false;
    while (!blocked && sent < 16 * 1024 * 1024) {
        ssize_t n = ::send(host.fd(), packet.data() + sent % packet.size(),
                           packet.size() - sent % packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            blocked = true;
        else
            FAIL() << std::strerror(errno);
    }
    ASSERT_TRUE(blocked) << sent << " bytes went without blocking";
    EXPECT_LT(sent, 1024u * 1024u);

    sim.resumeReading();
    const Bytes rest(packet.begin() + static_cast<long>(sent % packet.size()), packet.end());
    if (sent % packet.size() != 0) host.write(rest);
    const size_t packets = (sent + packet.size() - 1) / packet.size();
    EXPECT_TRUE(sim.waitForPackets(packets, kWait, match::prefix(0x06)));
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {}}));
    EXPECT_TRUE(sim.journal().framingErrors().empty());
}

TEST(ModuleSim, ForgetsTheOldestPacketsBeyondItsLimit) {
    tfsim::Module sim({.maxRecorded = 10});
    sim.setSilent(true);
    Client host(sim.port());
    connectAndWait(sim, host);
    for (uint8_t i = 0; i < 25; ++i)
        host.write(Packet{0x06, {i}});
    ASSERT_TRUE(sim.waitForPackets(1, kWait, match::equal(Packet{0x06, {24}})));
    auto kept = sim.received();
    ASSERT_EQ(kept.size(), 10u);
    EXPECT_EQ(kept.front().seq, 15u);
    EXPECT_EQ(kept.front().packet, (Packet{0x06, {15}}));
    EXPECT_EQ(sim.mark(), 25u);
    EXPECT_TRUE(sim.waitForPacket(match::any(), kWait, 3)); // 3 is gone; 15 is the first left
}

TEST(ModuleSim, RejectsAnAddressNoModuleCanHave) {
    tfsim::Module router({.address = 0x02});
    router.attach(0x04);
    for (uint8_t a : {uint8_t{0x00}, uint8_t{0x07}}) {
        EXPECT_THROW(tfsim::Module({.address = a}), std::invalid_argument) << int{a};
        EXPECT_THROW(router.attach(a), std::invalid_argument) << int{a};
    }
    // One module an address on a bus, the router's own included.
    for (uint8_t taken : {uint8_t{0x02}, uint8_t{0x04}})
        EXPECT_THROW(router.attach(taken), std::invalid_argument) << int{taken};
    EXPECT_THROW(router.at(0x06), std::out_of_range);
}

TEST(ModuleSim, LateAcceptTakesTheConnectionAfterTheHostHasConnected) {
    tfsim::Module sim({.acceptDelay = 300ms});
    const auto before = Clock::now();
    Client host(sim.port());
    ASSERT_TRUE(host.connected()) << "the kernel completes the connect at once";
    host.write(kSync); // waits in the socket until the module takes the connection
    ASSERT_TRUE(sim.waitForConnection(1, kWait));
    EXPECT_GE(sim.journal().linkEvents().front().at - before, 300ms);
    EXPECT_EQ(host.readPacket(), (Packet{0x06, {}}));

    // Each connection is taken late, not just the first.
    const auto reconnected = Clock::now();
    Client again(sim.port());
    connectAndWait(sim, again, 2);
    EXPECT_GE(sim.journal().linkEvents().back().at - reconnected, 300ms);
}

TEST(TfsimProgram, PrintsItsPortAndPlaysTheModuleUntilKilled) {
    SimProgram program;
    ASSERT_NO_FATAL_FAILURE(startSimProgram({"--tcp", "0", "--address", "0x0C"}, program));
    unsigned port = 0;
    EXPECT_EQ(std::fscanf(program.out, "port %u", &port), 1);
    std::fclose(program.out);
    if (port != 0) {
        Client host(static_cast<uint16_t>(port));
        ASSERT_TRUE(host.connected());
        host.write(kSync);
        EXPECT_EQ(host.readPacket(), (Packet{0x0C, {}}));
    }
    stopSimProgram(program);
}
