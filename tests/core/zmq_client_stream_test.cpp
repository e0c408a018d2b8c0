// The ZeroMQ client stream against a raw czmq ROUTER written here on 127.0.0.1: frames of
// every awkward size both ways, pooled writes, paced reads, and servers that vanish or go
// silent behind a TCP relay that can be frozen.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Holders.h"
#include "aStream.h"
#include "aStream_ZeroMQClient.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using tftest::StreamPtr;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
// Generous: losing a server takes a heartbeat interval and time-out, and a read's wait.
constexpr auto kLossLimit = std::chrono::seconds(15);

long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes frameBytes(zframe_t* frame) {
    return Bytes(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
}

// A packet in wire form whose data bytes count up from first.
Bytes wirePacket(uint8_t address, uint8_t length, uint8_t first) {
    Bytes packet{address, length};
    for (uint8_t i = 0; i < length; i++)
        packet.push_back(static_cast<uint8_t>(first + i));
    return packet;
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

StreamPtr openClient(int port) {
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateClient(kLoopback, static_cast<uint16_t>(port), &stream), aErrNone);
    return StreamPtr(stream);
}

// The server's side: a ROUTER on an ephemeral loopback port, and the identity of the one
// client that has spoken to it.
class Router {
  public:
    Router() : Router("tcp://127.0.0.1:*") {}
    explicit Router(int port) : Router(("tcp://127.0.0.1:" + std::to_string(port)).c_str()) {}
    ~Router() {
        zframe_destroy(&client_);
        zsock_destroy(&socket_);
    }
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    int port() const { return port_; }

    // The next frame a client sent, or nothing after a few seconds.
    bool receive(Bytes& payload) {
        zmsg_t* message = zmsg_recv(socket_);
        if (!message) return false;
        zframe_t* identity = zmsg_pop(message);
        zframe_t* frame = zmsg_pop(message);
        bool whole = identity && frame && zmsg_size(message) == 0;
        if (whole) {
            payload = frameBytes(frame);
            zframe_destroy(&client_);
            client_ = zframe_dup(identity);
        }
        zframe_destroy(&identity);
        zframe_destroy(&frame);
        zmsg_destroy(&message);
        return whole;
    }

    void send(const Bytes& payload) {
        ASSERT_NE(client_, nullptr) << "no client has spoken yet";
        zmsg_t* message = zmsg_new();
        zframe_t* to = zframe_dup(client_);
        zmsg_append(message, &to);
        zmsg_addmem(message, payload.data(), payload.size());
        ASSERT_EQ(zmsg_send(&message, socket_), 0);
    }

  private:
    explicit Router(const char* endpoint) : socket_(zsock_new(ZMQ_ROUTER)) {
        zsock_set_rcvtimeo(socket_, 5000);
        port_ = zsock_bind(socket_, "%s", endpoint);
    }

    zsock_t* socket_;
    zframe_t* client_ = nullptr;
    int port_ = -1;
};

// Sends a packet to the router and waits for it: afterwards the connection is up and the
// router knows whom to answer.
void greet(aStream* stream, Router& router) {
    const Bytes hello{0x02, 0x00};
    ASSERT_EQ(aStream_Write(stream, hello.data(), hello.size()), aErrNone);
    Bytes got;
    ASSERT_TRUE(router.receive(got));
    ASSERT_EQ(got, hello);
}

// Exactly count bytes, each get succeeding.
void readExactly(aStream* stream, size_t count, Bytes& out) {
    out.clear();
    for (size_t i = 0; i < count; i++) {
        uint8_t byte = 0;
        aErr result = aStream_Read(stream, &byte, 1);
        ASSERT_EQ(result, aErrNone) << "at byte " << i << " of " << count;
        out.push_back(byte);
    }
}

// Reads until the stream reports a failure other than not-ready, or the limit passes.
aErr awaitFailure(aStream* stream) {
    const auto start = Clock::now();
    aErr result = aErrNotReady;
    while (result == aErrNotReady && Clock::now() - start < kLossLimit) {
        uint8_t byte = 0;
        result = aStream_Read(stream, &byte, 1);
        if (result == aErrNone) result = aErrNotReady; // not expecting data; keep looking
    }
    return result;
}

class ZmqClientStream : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GT(router_->port(), 0);
        stream_ = openClient(router_->port());
        ASSERT_NE(stream_, nullptr);
        greet(stream_.get(), *router_);
    }

    std::unique_ptr<Router> router_ = std::make_unique<Router>();
    StreamPtr stream_;
};

TEST(ZmqClientStreamCreate, RefusesNullOut) {
    EXPECT_EQ(aStream_CreateClient(kLoopback, 1, nullptr), aErrParam);
}

// Nobody listens: the create succeeds, reads are paced by the wait and only ever not-ready
// (a server that never came is quiet, not lost), and single bytes are not sent.
TEST(ZmqClientStreamCreate, WithoutServerReadsArePacedNotReady) {
    // Bound but not listening: connects are refused, and nobody else can take the port.
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    socklen_t size = sizeof(address);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size), 0);
    StreamPtr stream = openClient(ntohs(address.sin_port));
    ASSERT_NE(stream, nullptr);
    for (int i = 0; i < 2; i++) {
        const auto start = Clock::now();
        uint8_t byte = 0;
        EXPECT_EQ(aStream_Read(stream.get(), &byte, 1), aErrNotReady);
        EXPECT_GE(millisSince(start), aZMQCLIENT_READ_WAIT_MS - 100);
    }
    const uint8_t one = 0x02;
    EXPECT_EQ(aStream_Write(stream.get(), &one, 1), aErrUnimplemented);
    stream.reset();
    close(holder);
}

// The first write of a new stream goes out at once: the link engine writes as soon as the
// stream exists (after a reset too), and a write that went nowhere was silently lost.
TEST(ZmqClientStreamCreate, FirstWriteOfEveryNewStreamArrives) {
    Router router;
    ASSERT_GT(router.port(), 0);
    std::vector<StreamPtr> streams;
    for (uint8_t tag = 0; tag < 16; tag++) {
        streams.push_back(openClient(router.port()));
        ASSERT_NE(streams.back(), nullptr);
        const Bytes packet{0x02, 0x01, tag};
        ASSERT_EQ(aStream_Write(streams.back().get(), packet.data(), packet.size()), aErrNone);
    }
    std::vector<bool> seen(16, false);
    for (size_t i = 0; i < seen.size(); i++) {
        Bytes got;
        ASSERT_TRUE(router.receive(got)) << "after " << i << " of 16 first writes";
        ASSERT_EQ(got.size(), 3u);
        ASSERT_LT(got[2], seen.size());
        EXPECT_FALSE(seen[got[2]]) << "tag " << int(got[2]) << " twice";
        seen[got[2]] = true;
    }
}

// Inode numbers of this process's listening TCP sockets.
std::multiset<std::string> listeningSocketsOfThisProcess() {
    std::set<std::string> mine;
    for (int fd = 0; fd < 4096; fd++) {
        char target[64] = "";
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        ssize_t size = readlink(link.c_str(), target, sizeof(target) - 1);
        if (size <= 0) continue;
        const std::string name(target, static_cast<size_t>(size));
        if (name.rfind("socket:[", 0) == 0) mine.insert(name.substr(8, name.size() - 9));
    }
    std::multiset<std::string> listening;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && mine.count(inode)) listening.insert(inode);
    }
    return listening;
}

// The stream's inner pairs stay inside the process: a port on loopback would let any local
// process connect to the writer's end and take the link's packets, or feed the reader's.
TEST(ZmqClientStreamCreate, OpensNoListeningPort) {
    Router router;
    ASSERT_GT(router.port(), 0);
    const auto before = listeningSocketsOfThisProcess();
    ASSERT_FALSE(before.empty()) << "the router's own socket must be seen";
    StreamPtr stream = openClient(router.port());
    ASSERT_NE(stream, nullptr);
    greet(stream.get(), router);
    EXPECT_EQ(listeningSocketsOfThisProcess(), before);
}

// Each case's frames go out together; its bytes must come back exactly, so a case that
// yields too many or too few shifts every later one.
TEST_F(ZmqClientStream, HandsOutTheBytesOfEveryFrameInOrder) {
    struct Case {
        const char* name;
        std::vector<Bytes> frames;
    };
    const std::vector<Case> cases = {
        {"an empty frame before a packet", {{}, {0x02, 0x01, 0x09}}},
        {"one byte", {{0x55}}},
        {"two bytes", {{0x04, 0x00}}},
        {"thirty bytes", {wirePacket(0x06, 28, 1)}},
        {"thirty-one bytes", {concat({wirePacket(0x06, 28, 1), {0x77}})}},
        {"several packets in one frame",
         {concat({wirePacket(0x02, 1, 7), wirePacket(0x04, 2, 8), wirePacket(0x06, 0, 0)})}},
        {"frames shaped like server commands", {{0x00, 0x00, 0x00}, {0x01, 0x00, 0x02}}},
        {"a reply, then a stream batch",
         {wirePacket(0x02, 5, 1), concat({
                                      wirePacket(0x02, 8, 1),
                                      wirePacket(0x02, 8, 2),
                                      wirePacket(0x02, 8, 3),
                                  })}},
        {"empty frames only, then a packet", {{}, {}, {0x08, 0x00}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const Bytes& frame : c.frames)
            router_->send(frame);
        const Bytes expected = concat(c.frames);
        Bytes got;
        readExactly(stream_.get(), expected.size(), got);
        EXPECT_EQ(got, expected);
    }
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream_.get(), &byte, 1), aErrNotReady);
}

// An empty frame must not become the frame being read: with nothing left to hand out it
// would answer every later read with an error.
TEST_F(ZmqClientStream, EmptyFrameAloneLeavesTheStreamReadable) {
    router_->send({});
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream_.get(), &byte, 1), aErrNotReady);
    const Bytes packet{0x02, 0x01, 0x42};
    router_->send(packet);
    Bytes got;
    readExactly(stream_.get(), packet.size(), got);
    EXPECT_EQ(got, packet);
}

// Frames already received are handed out without a pause: 37 gets, 37 bytes.
TEST_F(ZmqClientStream, ReadsReceivedFramesWithoutWaiting) {
    const Bytes reply = wirePacket(0x02, 5, 1);
    const Bytes batch =
        concat({wirePacket(0x02, 8, 1), wirePacket(0x02, 8, 2), wirePacket(0x02, 8, 3)});
    router_->send(reply);
    router_->send(batch);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    Bytes got;
    readExactly(stream_.get(), reply.size() + batch.size(), got);
    EXPECT_LT(millisSince(start), aZMQCLIENT_READ_WAIT_MS) << "a get waited for data it had";
    EXPECT_EQ(got, concat({reply, batch}));
}

// The server takes every frame for one packet and drops the rest of it: a write must reach
// it as one frame per packet, whatever the link pooled into the write.
TEST_F(ZmqClientStream, WritesOneFramePerPacket) {
    auto pool = [](int count) {
        std::vector<Bytes> packets;
        for (int i = 0; i < count; i++)
            packets.push_back(wirePacket(static_cast<uint8_t>(2 + 2 * (i % 8)),
                                         static_cast<uint8_t>(i % 29), static_cast<uint8_t>(i)));
        return packets;
    };
    struct Case {
        const char* name;
        Bytes written;
        std::vector<Bytes> frames;
    };
    const Bytes streamEnable{0x04, 0x07, 0x5D, 0x81, 0x00, 0x00, 0x01, 0x00, 0x00};
    const Bytes routeCommand{0xAF, 0x01, 0x01};
    std::vector<Case> cases = {
        {"a five-byte packet", {0x02, 0x03, 1, 2, 3}, {{0x02, 0x03, 1, 2, 3}}},
        {"a stream enable", streamEnable, {streamEnable}},
        {"a route command", routeCommand, {routeCommand}},
        {"a pool of one", concat(pool(1)), pool(1)},
        {"a pool of two", concat(pool(2)), pool(2)},
        {"a pool of 200", concat(pool(200)), pool(200)},
        {"a packet cut short", {0x02, 0x05, 1, 2}, {{0x02, 0x05, 1, 2}}},
        {"a packet and a stray byte", {0x02, 0x00, 0x09}, {{0x02, 0x00}, {0x09}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(aStream_Write(stream_.get(), c.written.data(), c.written.size()), aErrNone);
        for (size_t i = 0; i < c.frames.size(); i++) {
            Bytes got;
            ASSERT_TRUE(router_->receive(got)) << "frame " << i << " of " << c.frames.size();
            ASSERT_EQ(got, c.frames[i]) << "frame " << i;
        }
    }
    greet(stream_.get(), *router_); // and nothing else came in between
}

// Relays TCP between clients and a target port. Frozen, it forwards nothing and accepts
// nobody but closes nothing, as a hung server or a cut cable would; cut, it closes every
// connection and every new one at once, as a server that has gone would. Its port stays
// taken throughout, so no other test's server can appear on it.
class TcpRelay {
  public:
    explicit TcpRelay(int target) : target_(target) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = kLoopback;
        socklen_t size = sizeof(address);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            listen(listener_, 8) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~TcpRelay() {
        stop_ = true;
        thread_.join();
        closeAll();
        close(listener_);
    }
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int port() const { return port_; }
    void freeze() { mode_ = kFrozen; }
    void cut() { mode_ = kCut; }
    void restore() { mode_ = kForwarding; }

  private:
    enum Mode { kForwarding, kFrozen, kCut };

    void closeAll() {
        for (int fd : fds_)
            close(fd);
        fds_.clear();
    }

    void accept() {
        int in = ::accept(listener_, nullptr, nullptr);
        if (in < 0) return;
        if (mode_ == kCut) {
            close(in);
            return;
        }
        int out = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = kLoopback;
        address.sin_port = htons(static_cast<uint16_t>(target_));
        if (connect(out, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(in);
            close(out);
            return;
        }
        fds_.push_back(in);
        fds_.push_back(out);
    }

    // Pairs sit next to each other in fds_; a pair whose side closed is left alone.
    void run() {
        while (!stop_) {
            if (mode_ == kFrozen) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            if (mode_ == kCut) closeAll();
            std::vector<pollfd> waits{{listener_, POLLIN, 0}};
            for (int fd : fds_)
                waits.push_back({fd, POLLIN, 0});
            if (poll(waits.data(), waits.size(), 20) <= 0) continue;
            for (size_t i = 1; i < waits.size(); i++) {
                if (!(waits[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buffer[4096];
                ssize_t n = recv(waits[i].fd, buffer, sizeof(buffer), 0);
                int peer = fds_[(i - 1) ^ 1u];
                if (n > 0)
                    ::send(peer, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
                else
                    shutdown(peer, SHUT_WR);
            }
            if (waits[0].revents & POLLIN) accept();
        }
    }

    int target_;
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> fds_; // the relay thread's until it is joined
    std::atomic<Mode> mode_{kForwarding};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A client stream to a router through a relay, the connection up.
class ZmqClientStreamRelayed : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GT(relay_.port(), 0);
        stream_ = openClient(relay_.port());
        ASSERT_NE(stream_, nullptr);
        greet(stream_.get(), router_);
    }

    Router router_;
    TcpRelay relay_{router_.port()};
    StreamPtr stream_;
};

// A server that closes: the bytes it sent first are still read, then the stream reports
// the lost connection and keeps doing so; a server back on the port is served again.
TEST_F(ZmqClientStreamRelayed, ReportsAVanishedServerAndRecoversWhenItReturns) {
    const Bytes last = wirePacket(0x02, 5, 1);
    router_.send(last);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    relay_.cut();

    Bytes got;
    readExactly(stream_.get(), last.size(), got);
    EXPECT_EQ(got, last);
    EXPECT_EQ(awaitFailure(stream_.get()), aErrConnection);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream_.get(), &byte, 1), aErrConnection);

    relay_.restore();
    greet(stream_.get(), router_);
    const Bytes reply{0x02, 0x01, 0x33};
    router_.send(reply);
    readExactly(stream_.get(), reply.size(), got);
    EXPECT_EQ(got, reply);
}

// Nothing closes: only the connection's own heartbeats can tell that the server is gone.
TEST_F(ZmqClientStreamRelayed, ReportsAServerThatFallsSilent) {
    const Bytes reply{0x02, 0x01, 0x11};
    router_.send(reply);
    Bytes got;
    readExactly(stream_.get(), reply.size(), got);
    EXPECT_EQ(got, reply);

    relay_.freeze();
    EXPECT_EQ(awaitFailure(stream_.get()), aErrConnection);
}

// The link's input and output threads use the stream at once: every packet written comes
// back from an echoing server, in order, none lost or torn.
TEST(ZmqClientStreamThreads, ConcurrentReaderAndWriterAgainstAnEchoServer) {
    zsock_t* echo = zsock_new(ZMQ_ROUTER);
    const int port = zsock_bind(echo, "tcp://127.0.0.1:*");
    ASSERT_GT(port, 0);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        zpoller_t* poller = zpoller_new(echo, nullptr);
        while (!stop) {
            if (!zpoller_wait(poller, 50)) continue;
            zmsg_t* message = zmsg_recv(echo);
            if (message) zmsg_send(&message, echo); // [identity][frame] back to its sender
        }
        zpoller_destroy(&poller);
    });

    StreamPtr stream = openClient(port);
    ASSERT_NE(stream, nullptr);
    constexpr int kBatches = 300;
    constexpr int kPerBatch = 3;
    constexpr int kPackets = kBatches * kPerBatch;
    std::atomic<int> received{0};
    std::thread writer([&] {
        for (int b = 0; b < kBatches; b++) {
            // Keep the loopback queues far from their limits: frames beyond them are dropped.
            while (b * kPerBatch - received > 200 && !stop)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            Bytes batch;
            for (int k = 0; k < kPerBatch; k++) {
                const int n = b * kPerBatch + k;
                const Bytes packet = {0x02, 0x03, static_cast<uint8_t>(n >> 8),
                                      static_cast<uint8_t>(n), static_cast<uint8_t>(k)};
                batch.insert(batch.end(), packet.begin(), packet.end());
            }
            aStream_Write(stream.get(), batch.data(), batch.size());
        }
    });

    const auto start = Clock::now();
    int misordered = 0;
    while (received < kPackets && Clock::now() - start < std::chrono::seconds(30)) {
        uint8_t packet[5];
        if (aStream_Read(stream.get(), packet, sizeof(packet)) != aErrNone) continue;
        const int n = received;
        if (packet[0] != 0x02 || packet[1] != 0x03 || packet[2] != static_cast<uint8_t>(n >> 8) ||
            packet[3] != static_cast<uint8_t>(n) || packet[4] != n % kPerBatch)
            misordered++;
        received++;
    }
    stop = true;
    writer.join();
    server.join();
    EXPECT_EQ(received, kPackets);
    EXPECT_EQ(misordered, 0);
    stream.reset();
    zsock_destroy(&echo);
}

} // namespace
