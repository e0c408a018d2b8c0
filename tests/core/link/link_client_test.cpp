// Client links: links to a packet server over the ZeroMQ client stream. The server here is a
// raw ROUTER in the test that plays a module behind it: it answers syncs and address probes
// with address 0x06, takes route commands silently and echoes every other packet.
#include <czmq.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LinkFixture.h"
#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

using namespace linktest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t MODULE = 0x06;

class ModuleBehindRouter {
  public:
    ModuleBehindRouter() : socket_(zsock_new(ZMQ_ROUTER)) {
        port_ = zsock_bind(socket_, "tcp://127.0.0.1:*");
        thread_ = std::thread([this] { serve(); });
    }
    ~ModuleBehindRouter() { stop(); }
    // The server goes away: no answers any more, and its socket is closed.
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        zsock_destroy(&socket_);
    }
    uint16_t port() const { return static_cast<uint16_t>(port_); }
    size_t clients() const { return clients_.load(); }

  private:
    void serve() {
        zpoller_t* poller = zpoller_new(socket_, nullptr);
        std::set<std::string> seen;
        while (!stop_) {
            if (!zpoller_wait(poller, 20)) continue;
            zmsg_t* message = zmsg_recv(socket_);
            if (!message) continue;
            zframe_t* identity = zmsg_pop(message);
            zframe_t* frame = zmsg_pop(message);
            if (identity && frame) {
                seen.insert(std::string(reinterpret_cast<char*>(zframe_data(identity)),
                                        zframe_size(identity)));
                clients_ = seen.size();
                answer(identity, frame);
            }
            zframe_destroy(&identity);
            zframe_destroy(&frame);
            zmsg_destroy(&message);
        }
        zpoller_destroy(&poller);
    }

    void answer(zframe_t* identity, zframe_t* frame) {
        const uint8_t* bytes = zframe_data(frame);
        size_t size = zframe_size(frame);
        if (size < 2) return;
        std::vector<uint8_t> reply;
        if (bytes[0] == 0xAD)
            reply = {MODULE, 0x00};
        else if ((bytes[0] & 1) == 0)
            reply.assign(bytes, bytes + size);
        if (reply.empty()) return; // route commands and other odd addresses
        zmsg_t* out = zmsg_new();
        zframe_t* to = zframe_dup(identity);
        zmsg_append(out, &to);
        zmsg_addmem(out, reply.data(), reply.size());
        zmsg_send(&out, socket_);
    }

    zsock_t* socket_;
    int port_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> clients_{0};
    std::thread thread_;
};

} // namespace

TEST(ClientLink, NewClientsAreDistinctAndAnIdIsShared) {
    ModuleBehindRouter server;
    ASSERT_GT(server.port(), 0);
    uint32_t first = aLink_CreateClient(loopback(), server.port(), 0);
    uint32_t second = aLink_CreateClient(loopback(), server.port(), 0);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(aLink_GetStatus(first), aLINK_STATUS_RUNNING) << "no sync: running at once";
    EXPECT_TRUE(exchanges(first, MODULE, 1, 2000));
    EXPECT_TRUE(exchanges(second, MODULE, 2, 2000));
    EXPECT_TRUE(eventually([&] { return server.clients() == 2; })) << "one DEALER per link";
    uint8_t address = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(second, &address), aErrNone);
    EXPECT_EQ(address, MODULE);

    EXPECT_EQ(aLink_CreateClient(loopback(), server.port(), first), first);
    EXPECT_EQ(sLookupEntryByID(first)->useCount, 2);
    EXPECT_EQ(sLookupEntryByID(first)->type, static_cast<linkType>(AWEAVE));
    uint32_t holder = first;
    EXPECT_EQ(aLink_Destroy(&holder), aErrNone);
    EXPECT_TRUE(exchanges(first, MODULE, 3, 2000)) << "the other holder still has it";
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLink_GetStatus(first), aLINK_STATUS_NO_STREAM);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_CreateClient(loopback(), server.port(), 0xFFFFFF00u), 0u) << "unknown id";
}

TEST(ClientLink, ResetMakesANewClientStream) {
    ModuleBehindRouter server;
    uint32_t id = aLink_CreateClient(loopback(), server.port(), 0);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(exchanges(id, MODULE, 1, 2000));
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_TRUE(exchanges(id, MODULE, 2, 2000));
    EXPECT_TRUE(eventually([&] { return server.clients() == 2; })) << "the reset connected anew";
    aLink_Destroy(&id);
}

TEST(ClientLink, ServerThatGoesAwayEndsTheRunningStateAndDestroyIsPrompt) {
    ModuleBehindRouter server;
    uint32_t id = aLink_CreateClient(loopback(), server.port(), 0);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(exchanges(id, MODULE, 1, 2000));
    server.stop();
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) != aLINK_STATUS_RUNNING; }, 15s))
        << "a client of a vanished server must not look running for ever";
    const auto begin = Clock::now();
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(Clock::now() - begin, 5s);
}
