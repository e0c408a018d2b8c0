// The fake driven from another process: a probe program that links only the installed
// libusb runs with the fake preloaded, and this test configures its bus, faults and
// unplugs over the control directory and reads back what the probe did.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "fakeusb_remote.h"
#include "tfsim/Module.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using fakeusb::Snapshot;

constexpr uint16_t kVendor = 0x1C5A;
constexpr auto kWait = 10s;

// A program with piped stdin and stdout, killed if the test leaves it running.
class Child {
  public:
    Child(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.emplace_back(*e);
        env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char*> argv, envp;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(toChild_);
        ::close(fromChild_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void send(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(toChild_, text.data(), text.size()), ssize_t(text.size()));
    }

    // The next line the child prints; "<none>" when it printed none in time.
    std::string readLine() {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        for (;;) {
            if (size_t nl = buffered_.find('\n'); nl != std::string::npos) {
                std::string line = buffered_.substr(0, nl);
                buffered_.erase(0, nl + 1);
                return line;
            }
            pollfd p{fromChild_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "<none>";
            char buf[4096];
            const ssize_t n = ::read(fromChild_, buf, sizeof buf);
            if (n <= 0) return "<none>";
            buffered_.append(buf, static_cast<size_t>(n));
        }
    }

    std::string ask(const std::string& line) {
        send(line);
        return readLine();
    }

    // The exit status; -1 when the child died or did not end in time.
    int wait() {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int toChild_ = -1, fromChild_ = -1;
    std::string buffered_;
};

fakeusb_device_config module(const char* serial, uint16_t pid = 0x0112, uint16_t port = 0) {
    fakeusb_device_config c = fakeusb::defaultConfig(kVendor, pid, serial);
    c.backing_port = port;
    return c;
}

class FakeUsbRemote : public ::testing::Test {
  protected:
    Child probe(const char* arg = nullptr) {
        std::vector<std::string> args{FAKEUSB_PROBE};
        if (arg) args.emplace_back(arg);
        return Child(args, {FAKEUSB_PRELOAD, usb_.environment()});
    }

    tftest::TempDir dir_;
    fakeusb::Remote usb_{dir_.path()};
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(FakeUsbRemote, ChildSeesTheBusItsParentConfigures) {
    const fakeusb::RemoteDevice first = usb_.addDevice(module("0000A001"));
    const fakeusb::RemoteDevice gone = usb_.addDevice(module("0000A0FF"));
    ASSERT_TRUE(usb_.unplug(gone)) << usb_.error(); // the setup keeps the order
    EXPECT_FALSE(usb_.started());

    Child child = probe();
    // Before or after the child's first call, whichever comes first: either way its
    // next device list has it.
    const fakeusb::RemoteDevice racing = usb_.addDevice(module("0000A002", 0x0113));
    ASSERT_NE(racing, 0) << usb_.error();
    // What the child's very first libusb_init and device list saw.
    const std::string atStart = child.readLine();
    EXPECT_EQ(atStart.rfind("fakeusb devices ", 0), 0u) << atStart;
    EXPECT_TRUE(contains(atStart, "1c5a:0112:0000A001")) << atStart;
    EXPECT_FALSE(contains(atStart, "0000A0FF")) << atStart;
    EXPECT_EQ(child.ask("list"), "devices 2 1c5a:0112:0000A001 1c5a:0113:0000A002");
    EXPECT_TRUE(usb_.started());

    ASSERT_TRUE(usb_.unplug(first)) << usb_.error();
    EXPECT_EQ(child.ask("list"), "devices 1 1c5a:0113:0000A002");
    // Back from a reboot as a loader with another product id.
    ASSERT_TRUE(usb_.reconfigure(first, module("0000A001", 0x0001))) << usb_.error();
    ASSERT_TRUE(usb_.plug(first)) << usb_.error();
    ASSERT_TRUE(usb_.removeDevice(gone)) << usb_.error();
    EXPECT_EQ(child.ask("list"), "devices 2 1c5a:0001:0000A001 1c5a:0113:0000A002");
    EXPECT_FALSE(usb_.plug(gone)); // the child no longer has it
    EXPECT_TRUE(contains(usb_.error(), "unknown device")) << usb_.error();

    EXPECT_EQ(child.ask("quit"), "ok");
    ASSERT_EQ(child.wait(), 0);
    // The child is gone; what it left is readable, and commands to it fail.
    const std::optional<Snapshot> last = usb_.snapshot();
    ASSERT_TRUE(last) << usb_.error();
    EXPECT_EQ(last->inits, 1u);
    EXPECT_EQ(last->exits, 1u);
    EXPECT_EQ(last->liveContexts, 0u);
    EXPECT_EQ(last->openHandles, 0u);
    EXPECT_EQ(last->liveDeviceLists, 0u);
    EXPECT_EQ(last->misuse, 0u);
    EXPECT_EQ(last->devices.size(), 2u);
    EXPECT_GE(last->calls(racing, FAKEUSB_OP_OPEN), 1u); // the probe reads every serial
    EXPECT_FALSE(usb_.unplug(racing));
    EXPECT_TRUE(contains(usb_.error(), "exited")) << usb_.error();
}

TEST_F(FakeUsbRemote, ParentScriptsFaultsAndReadsTheChildsTransfers) {
    tfsim::Module sim({.address = 0x06});
    const fakeusb::RemoteDevice dev = usb_.addDevice(module("0000B001", 0x0112, sim.port()));
    Child child = probe();
    ASSERT_EQ(child.readLine(), "fakeusb devices 1 1c5a:0112:0000B001");
    ASSERT_EQ(child.ask("open 0000B001"), "0");
    EXPECT_EQ(child.ask("out ad00"), "0 2");
    EXPECT_EQ(child.ask("in 1000 2"), "0 0600"); // the module's answer to the sync
    ASSERT_TRUE(sim.waitForPacket(tfsim::match::sync(), kWait));

    ASSERT_TRUE(usb_.scriptTransfer(dev, FAKEUSB_OP_BULK_OUT, LIBUSB_ERROR_IO, 0, 1));
    EXPECT_EQ(child.ask("out ad00"), std::to_string(LIBUSB_ERROR_IO) + " 0");

    // An unplug here wakes a transfer blocked there without a time-out.
    std::optional<Snapshot> s = usb_.snapshot();
    ASSERT_TRUE(s) << usb_.error();
    const unsigned inCalls = s->calls(dev, FAKEUSB_OP_BULK_IN);
    child.send("in 0");
    ASSERT_TRUE(usb_.waitUntil([&](const Snapshot& now) {
        return now.calls(dev, FAKEUSB_OP_BULK_IN) > inCalls;
    })) << usb_.error();
    ASSERT_TRUE(usb_.unplug(dev)) << usb_.error();
    EXPECT_EQ(child.readLine(), std::to_string(LIBUSB_ERROR_NO_DEVICE));

    s = usb_.snapshot();
    ASSERT_TRUE(s) << usb_.error();
    EXPECT_EQ(s->calls(dev, FAKEUSB_OP_CLAIM), 1u);
    EXPECT_EQ(s->openHandles, 1u); // the probe still holds its handle
    const std::vector<fakeusb_transfer> log = s->transfers(dev);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0].endpoint, 0x01);
    EXPECT_EQ(log[0].length, 2);
    EXPECT_EQ(log[0].timeout, 1000u);
    EXPECT_EQ(log[0].transferred, 2);
    EXPECT_EQ(log[1].endpoint, 0x81);
    EXPECT_EQ(log[1].length, 1024);
    const fakeusb_transfer& failed = log[log.size() - 2];
    EXPECT_EQ(failed.endpoint, 0x01);
    EXPECT_EQ(failed.result, LIBUSB_ERROR_IO);
    EXPECT_EQ(log.back().endpoint, 0x81);
    EXPECT_EQ(log.back().timeout, 0u);
    EXPECT_EQ(log.back().result, LIBUSB_ERROR_NO_DEVICE);

    EXPECT_EQ(child.ask("quit"), "ok");
    ASSERT_EQ(child.wait(), 0);
    const std::optional<Snapshot> last = usb_.snapshot();
    ASSERT_TRUE(last) << usb_.error();
    EXPECT_EQ(last->openHandles, 0u);
    EXPECT_EQ(last->calls(dev, FAKEUSB_OP_CLOSE), last->calls(dev, FAKEUSB_OP_OPEN));
    EXPECT_EQ(last->transfers(dev).size(), log.size());
}

TEST_F(FakeUsbRemote, InitFaultFromTheSetupFailsTheChildsFirstInit) {
    ASSERT_TRUE(usb_.fail(0, FAKEUSB_OP_INIT, LIBUSB_ERROR_NO_MEM, 1)) << usb_.error();
    Child child = probe();
    EXPECT_EQ(child.readLine(), "init failed");
    EXPECT_EQ(child.wait(), 1);
    const std::optional<Snapshot> last = usb_.snapshot();
    ASSERT_TRUE(last) << usb_.error();
    EXPECT_EQ(last->inits, 1u);
    EXPECT_EQ(last->liveContexts, 0u);
}

// The channel opens at the first libusb call, not when the library loads: a child
// that never calls leaves nothing, so a test can tell that it never touched USB.
TEST_F(FakeUsbRemote, ChildThatNeverCallsLibusbLeavesNoState) {
    fakeusb::Remote quick(dir_.path(), 200ms);
    Child child = probe("idle");
    ASSERT_EQ(child.wait(), 0);
    EXPECT_FALSE(quick.started());
    EXPECT_FALSE(quick.snapshot());
    EXPECT_TRUE(contains(quick.error(), "no libusb call")) << quick.error();
}

// Every field of a configuration crosses to the child as it was set, the two strings
// told apart from absent ones.
TEST(FakeUsbWire, ConfigurationSurvivesTheTrip) {
    fakeusb_device_config odd = fakeusb::defaultConfig(0xFFFF, 0x8001, "a b\n\xff");
    odd.bcd_device = 0x0203;
    odd.interface_number = 3;
    odd.interface_class = 0x0A;
    odd.interface_subclass = 1;
    odd.interface_protocol = 2;
    odd.in = {0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 0};
    odd.out = {0, 0, 0};
    odd.decoy_interfaces = 255;
    odd.backing_host = "127.0.0.2";
    odd.backing_port = 65535;
    const fakeusb_device_config cases[] = {
        odd,
        fakeusb::defaultConfig(0x1C5A, 0x0112, nullptr),
        fakeusb::defaultConfig(0, 0, ""),
    };
    for (const fakeusb_device_config& c : cases) {
        const std::string text = fakeusb::wire::encodeConfig(c);
        SCOPED_TRACE(text);
        fakeusb::wire::DecodedConfig d;
        ASSERT_TRUE(fakeusb::wire::decodeConfig(fakeusb::wire::words("add 1 " + text), 2, d));
        const fakeusb_device_config& got = d.config;
        EXPECT_EQ(got.vendor_id, c.vendor_id);
        EXPECT_EQ(got.product_id, c.product_id);
        EXPECT_EQ(got.bcd_device, c.bcd_device);
        EXPECT_EQ(got.interface_number, c.interface_number);
        EXPECT_EQ(got.interface_class, c.interface_class);
        EXPECT_EQ(got.interface_subclass, c.interface_subclass);
        EXPECT_EQ(got.interface_protocol, c.interface_protocol);
        for (auto [mine, theirs] : {std::pair{got.in, c.in}, std::pair{got.out, c.out}}) {
            EXPECT_EQ(mine.address, theirs.address);
            EXPECT_EQ(mine.attributes, theirs.attributes);
            EXPECT_EQ(mine.max_packet_size, theirs.max_packet_size);
        }
        EXPECT_EQ(got.decoy_interfaces, c.decoy_interfaces);
        EXPECT_EQ(got.backing_port, c.backing_port);
        for (auto [mine, theirs] :
             {std::pair{got.serial, c.serial}, std::pair{got.backing_host, c.backing_host}}) {
            ASSERT_EQ(mine == nullptr, theirs == nullptr);
            if (mine) {
                EXPECT_STREQ(mine, theirs);
            }
        }
    }
    fakeusb::wire::DecodedConfig d;
    EXPECT_FALSE(fakeusb::wire::decodeConfig({"vid=70000"}, 0, d));
    EXPECT_FALSE(fakeusb::wire::decodeConfig({"colour=red"}, 0, d));
    EXPECT_FALSE(fakeusb::wire::decodeConfig({"serial=4"}, 0, d));
}

} // namespace
