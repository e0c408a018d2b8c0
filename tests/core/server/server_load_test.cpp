// The packet server under load: client links in several threads and processes, each with
// many requests in flight, every reply checked to come back to the client that asked; and a
// server in another process (served_module) found by loopback discovery.
#include <arpa/inet.h>
#include <sys/wait.h>

#include <latch>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "DiscoveryCollect.h"
#include "LinkFixture.h"
#include "ServedLoad.h"
#include "TestNetwork.h"
#include "aServer_ZeroMQ.h"
#include "discover.h"

using namespace linktest;
using servedload::ECHO;
using servedload::MODULE;
using servedload::Tally;
using tftest::ChildProcess;
namespace match = tfsim::match;

namespace {

constexpr int REQUESTS = 1000;
constexpr int WINDOW = 8;
// Sanitizer builds are many times slower; nothing here is timed, the limits only stop a hang.
constexpr auto PROGRAM_WAIT = 30s;
constexpr auto LOAD_WAIT = 180s;

testing::AssertionResult cleanRun(const Tally& t, int requests = REQUESTS) {
    if (t.clean(requests)) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "answered " << t.answered << " of " << requests << ", lost " << t.lost
           << ", misrouted " << t.misrouted << ", wrong " << t.wrong;
}

bool exitedCleanly(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// A client of the server in a process of its own (served_module client): ready once its
// link runs, then it sends its load when go() says so.
class ChildClient {
  public:
    ChildClient(uint16_t port, uint8_t tag)
        : program_(SERVED_MODULE_PROGRAM,
                   {"client", "--port", std::to_string(port), "--tag", std::to_string(tag),
                    "--requests", std::to_string(REQUESTS), "--window", std::to_string(WINDOW)}) {}

    bool ready() { return program_.readLine(PROGRAM_WAIT) == "ready"; }
    bool go() { return program_.writeLine("go"); }
    // Its tally, and whether it then left with status 0.
    std::optional<Tally> result() {
        auto line = program_.readLine(LOAD_WAIT);
        Tally t;
        if (!line || !servedload::parse(line->c_str(), t)) return std::nullopt;
        return t;
    }
    std::optional<int> finish() { return program_.finish(30s); }

  private:
    ChildProcess program_;
};

// Runs the load on every client link in a thread of its own and in every child client, all
// let go at the same moment; tags are 1, 2, ... in that order.
void loadTogether(const std::vector<uint32_t>& links, std::vector<ChildClient*> children) {
    for (auto* child : children)
        ASSERT_TRUE(child->ready()) << "a child client never got its link running";
    std::vector<Tally> tallies(links.size());
    std::latch start(static_cast<std::ptrdiff_t>(links.size() + 1));
    std::vector<std::thread> threads;
    for (size_t c = 0; c < links.size(); c++)
        threads.emplace_back([&, c] {
            start.arrive_and_wait();
            tallies[c] = servedload::run(links[c], static_cast<uint8_t>(c + 1), REQUESTS, WINDOW);
        });
    start.arrive_and_wait();
    for (auto* child : children)
        EXPECT_TRUE(child->go());
    for (auto& t : threads)
        t.join();
    for (size_t c = 0; c < links.size(); c++)
        EXPECT_TRUE(cleanRun(tallies[c])) << "client link " << c + 1 << " of this process";
    for (size_t c = 0; c < children.size(); c++) {
        auto tally = children[c]->result();
        ASSERT_TRUE(tally) << "child client " << c + 1 << " reported nothing";
        EXPECT_TRUE(cleanRun(*tally)) << "child client " << c + 1;
        EXPECT_TRUE(exitedCleanly(children[c]->finish())) << "child client " << c + 1;
    }
}

// How often consecutive echo requests at the module came from different clients.
int clientChanges(const std::vector<tfsim::Received>& received) {
    int changes = 0;
    int last = -1;
    for (const auto& r : received) {
        if (r.packet.data.size() != 28 || r.packet.data[0] != ECHO) continue;
        if (last >= 0 && r.packet.data[1] != last) changes++;
        last = r.packet.data[1];
    }
    return changes;
}

class ServerLoad : public SimLink {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(connect());
        sim->onRequest(match::prefix(MODULE, {ECHO}), echo());
        server = aServer_Create(id, 0, true);
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(aServer_Start(server), aErrNone);
        ASSERT_EQ(aServer_GetPort(server, &port), aErrNone);
    }
    void TearDown() override {
        for (auto& link : links)
            aLink_Destroy(&link);
        if (server) {
            EXPECT_EQ(aServer_Destroy(&server), aErrNone);
        }
        SimLink::TearDown();
    }
    void makeClientLinks(size_t count) {
        for (size_t i = 0; i < count; i++) {
            links.push_back(aLink_CreateClient(loopback(), port, 0));
            ASSERT_NE(links.back(), 0u);
        }
    }
    size_t echoesAtModule() const {
        size_t n = 0;
        for (const auto& r : sim->received())
            n += r.packet.address == MODULE && !r.packet.data.empty() && r.packet.data[0] == ECHO;
        return n;
    }

    aServer* server = nullptr;
    uint16_t port = 0;
    std::vector<uint32_t> links;
};

TEST_F(ServerLoad, FourClientLinksInThreadsEachGetEveryReplyOfTheirOwn) {
    ASSERT_NO_FATAL_FAILURE(makeClientLinks(4));
    loadTogether(links, {});
    EXPECT_EQ(echoesAtModule(), 4u * REQUESTS) << "each request reaches the module once";
    EXPECT_GT(clientChanges(sim->received()), 3) << "the clients' requests never interleaved";
}

TEST_F(ServerLoad, AClientInAnotherProcessSharesTheLoad) {
    ASSERT_NO_FATAL_FAILURE(makeClientLinks(3));
    ChildClient other(port, 4);
    loadTogether(links, {&other});
    EXPECT_EQ(echoesAtModule(), 4u * REQUESTS);
}

uint32_t nextChildSerial() {
    static uint32_t low = 0;
    return 0x5E000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFu) << 8 | (low++ & 0xFFu);
}

// served_module serve in a process of its own: the module, its TCP/IP link and the server.
class ServedModuleProcess : public testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_NAMESPACE();
        serial = nextChildSerial();
        program = std::make_unique<ChildProcess>(
            SERVED_MODULE_PROGRAM,
            std::vector<std::string>{"serve", "--serial", std::to_string(serial), "--model",
                                     std::to_string(MODEL)});
        auto line = program->readLine(PROGRAM_WAIT);
        ASSERT_TRUE(line) << "served_module said nothing";
        ASSERT_EQ(std::sscanf(line->c_str(), "port %hu", &port), 1) << *line;
    }
    void TearDown() override {
        for (auto& link : links)
            aLink_Destroy(&link);
    }

    static constexpr uint8_t MODEL = 0x2A;
    uint32_t serial = 0;
    uint16_t port = 0;
    std::unique_ptr<ChildProcess> program;
    std::vector<uint32_t> links;
};

TEST_F(ServedModuleProcess, IsFoundByLoopbackDiscoveryAndServesAClientLink) {
    disctest::Seen seen;
    aDiscovery_EnumerateModules(AWEAVE_TCPIP, disctest::collect, &seen, 0);
    const linkSpec* found = nullptr;
    for (const auto& spec : seen.specs)
        if (spec.serialNumber == serial) found = &spec;
    ASSERT_NE(found, nullptr) << seen.specs.size() << " servers found, not this one";
    EXPECT_EQ(found->type, AWEAVE_TCPIP);
    EXPECT_EQ(found->model, MODEL);
    EXPECT_EQ(found->moduleAddress, MODULE);
    EXPECT_EQ(found->t.ip.ipAddress, loopback());
    EXPECT_EQ(found->t.ip.ipPort, port);

    links.push_back(
        aLink_CreateClient(found->t.ip.ipAddress, static_cast<uint16_t>(found->t.ip.ipPort), 0));
    ASSERT_NE(links.back(), 0u);
    EXPECT_TRUE(cleanRun(servedload::run(links.back(), 1, 50, 1), 50));
    aLink_Destroy(&links.back());
    // SIGTERM is how a user stops it: the server and link go down cleanly.
    program->signal(SIGTERM);
    EXPECT_TRUE(exitedCleanly(program->finish(30s)));
}

TEST_F(ServedModuleProcess, ClientsInThisProcessAndTwoOthersShareItsModule) {
    for (int i = 0; i < 2; i++) {
        links.push_back(aLink_CreateClient(loopback(), port, 0));
        ASSERT_NE(links.back(), 0u);
    }
    ChildClient third(port, 3), fourth(port, 4);
    loadTogether(links, {&third, &fourth});
    for (auto& link : links)
        aLink_Destroy(&link);
    // Its input closing ends it too.
    EXPECT_TRUE(exitedCleanly(program->finish(30s)));
}

} // namespace
