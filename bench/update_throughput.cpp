// A firmware image written into the simulated module's upgrade entity by the update road's
// firmware step, over the fake libusb and over TCP/IP, next to the protocol floor: the same
// prepare/data/sum/write packets exchanged with the same simulator through the core's raw
// packet calls. Then the peak memory of the real `updater -U` program writing a larger image.
//   update_throughput [--kib N] [--reps R] [--transports usb,tcp] [--rss-kib N|0]
//                     [--updater PATH]
// Reading the output: bench/README.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "Module.h"
#include "TempDir.h"
#include "Tessaform-C.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterInternal.h"
#include "aLink.h"
#include "fakeusb.h"
#include "fakeusb_remote.h"
#include "tfsim/Module.h"
#include "tfsim/SystemEntity.h"
#include "tfsim/UpgradeEntity.h"

extern char** environ;

using Clock = std::chrono::steady_clock;
using tftest::Bytes;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kAddress = 0x06;
constexpr uint32_t kFirmwareAt = 0x00010000;
constexpr uint32_t kLoaderAt = 0x20000000;
constexpr uint8_t kUpgrade = 0x5F;
constexpr uint16_t kProductId = 0x0100;
// What one request may wait for its reply, as the upgrade entity does.
constexpr uint64_t kReplyWaitMs = 1000;
constexpr auto kChildTime = 120s;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    throw Failure(text);
}

using tftest::readFile;
using tftest::TempDir;

// The road's messages and progress go nowhere: the bench prints its own figures.
class QuietDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char* text) override { last = text; }
    std::string last;
};

// A BIRD file with a small loader and one firmware block of `payload`, for the module that
// the simulator plays (model 4, "TF-Hub2"); the serial-number place lies in the firmware.
std::string writeBird(const TempDir& dir, const std::string& name, const Bytes& payload) {
    tftest::BirdImage image;
    image.loader(kLoaderAt, tftest::randomBytes(64, 7))
        .firmware(kFirmwareAt, payload)
        .serialOffsets(kFirmwareAt + 0x100, 0)
        .descriptor("1234", "2.10.4", "00000000", "TF-Hub2");
    const Bytes bytes = tftest::birdFile(image.image());
    const std::string path = dir / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

// ---- the far side ----

enum class Transport { Usb, Tcp };
struct TransportText {
    const char* name;
    const char* title;
};
constexpr TransportText kTexts[] = {
    {"usb", "USB: the fake libusb, its bulk endpoints backed by tfsim over loopback TCP"},
    {"tcp", "TCP/IP: a link to tfsim on 127.0.0.1"},
};
const TransportText& textOf(Transport t) {
    return kTexts[static_cast<size_t>(t)];
}

// The simulated module with its upgrade entity, reachable over TCP and as a device on the
// fake USB bus. A reboot ends the connection and refuses connects, as a module that restarts
// does (else a TCP/IP link would come straight back and the road would wait for a drop that
// never shows); `ready` takes connects again before the next phase.
struct FarSide {
    explicit FarSide(uint32_t serial_) : serial(serial_) {
        sim.add(std::make_shared<tfsim::SystemEntity>(
            tfsim::Identity{.module = kAddress, .model = 4, .serial = serial}));
        upgrade = sim.add(std::make_shared<tfsim::UpgradeEntity>());
        upgrade->setLink(&sim);
        std::snprintf(text, sizeof text, "%08X", serial);
        fakeusb_device_config config;
        fakeusb_config_init(&config, aTESSAFORM_USB_VENDOR_ID, kProductId, text);
        config.backing_port = sim.port();
        device = fakeusb_add_device(&config);
        if (!device) fail("no device on the fake bus");
    }
    ~FarSide() { fakeusb_reset(); }
    void ready() { sim.setAccepting(true); }
    FarSide(const FarSide&) = delete;
    FarSide& operator=(const FarSide&) = delete;

    uint32_t serial;
    char text[16] = "";
    tfsim::Module sim{tfsim::Config{.address = kAddress}};
    std::shared_ptr<tfsim::UpgradeEntity> upgrade;
    fakeusb_device* device = nullptr;
};

// When the module saw the REBOOT that ends a write; both phases are timed up to it, so the
// tool's wait for the link to drop afterwards stays out of its time.
Clock::time_point rebootAt(const FarSide& far, uint64_t since) {
    auto got = far.sim.waitForPacket(tfsim::match::prefix(kAddress, {kUpgrade, 6}), 10s, since);
    if (!got) fail("the module saw no REBOOT");
    return got->at;
}

void checkImage(const FarSide& far, const Bytes& payload, const char* phase) {
    if (far.upgrade->image(kFirmwareAt) != payload)
        fail("%s: the module's image differs from the firmware sent", phase);
}

// ---- the update road's firmware step ----

double toolPhase(FarSide& far, Transport t, BirdFile& file, const Bytes& payload) {
    QuietDisplay display;
    Keldoran::Tessaform::Module module(0);
    if (updater_detail::_disableEther(module, display) != aErrNone) fail("unshared settings");
    aErr err = aErrNone;
    if (t == Transport::Usb) {
        err = module.connect(USB, far.serial);
    } else {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = far.serial;
        spec.moduleAddress = kAddress;
        spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
        spec.t.ip.ipPort = far.sim.port();
        err = module.connectFromSpec(spec);
    }
    if (err != aErrNone) fail("the updater's module did not connect: %d", err);
    const uint64_t mark = far.sim.mark();
    const auto start = Clock::now();
    err = updater_detail::_transfer_firmware(display, module, file, false, false);
    if (err != aErrNone) fail("the firmware step failed: %d %s", err, display.last.c_str());
    const double ms =
        std::chrono::duration<double, std::milli>(rebootAt(far, mark) - start).count();
    checkImage(far, payload, "updater");
    return ms;
}

// ---- the floor: the same packets, no tool ----

struct RawLink {
    explicit RawLink(const FarSide& far, Transport t) {
        id = t == Transport::Usb
                 ? aLink_CreateUSB(far.serial)
                 : aLink_CreateTCPIP(far.serial, htonl(INADDR_LOOPBACK), far.sim.port());
        if (!id) fail("no raw link");
        const auto deadline = Clock::now() + 5s;
        while (aLink_GetStatus(id) != 2 && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        if (aLink_GetStatus(id) != 2) fail("the raw link did not come up");
    }
    ~RawLink() { aLink_Destroy(&id); }
    RawLink(const RawLink&) = delete;
    RawLink& operator=(const RawLink&) = delete;

    void send(const std::vector<uint8_t>& data) {
        aPacket* packet =
            aPacket_CreateWithData(kAddress, static_cast<uint8_t>(data.size()), data.data());
        aErr err = aLink_PutPacket(id, packet);
        aPacket_Destroy(&packet);
        if (err != aErrNone) fail("raw put: %d", err);
    }
    // The reply beginning 5F `sub`, its data.
    std::vector<uint8_t> await(uint8_t sub) {
        const uint8_t head[2] = {kUpgrade, sub};
        aPacket* reply = aLink_AwaitFirst(
            id,
            [](const aPacket* p, const void* ref) {
                const auto* h = static_cast<const uint8_t*>(ref);
                return p->length >= 2 && p->data[0] == h[0] && p->data[1] == h[1];
            },
            head, kReplyWaitMs);
        if (!reply) fail("raw: no reply %02X %02X", kUpgrade, sub);
        std::vector<uint8_t> data(reply->data, reply->data + reply->length);
        aPacket_Destroy(&reply);
        return data;
    }

    uint32_t id = 0;
};

double floorPhase(FarSide& far, Transport t, const BirdBlock& block, const Bytes& payload) {
    RawLink link(far, t);
    const uint64_t mark = far.sim.mark();
    const auto start = Clock::now();
    link.send(
        {kUpgrade, 3, block.flags, block.data[0], block.data[1], block.data[2], block.data[3]});
    auto status = link.await(7);
    if (status.size() < 5 || status[2] != 0) fail("raw: PREPARE refused");
    const size_t blockSize = static_cast<size_t>(status[3]) << 8 | status[4];
    if (blockSize == 0) fail("raw: block size 0");
    const uint8_t* data = block.data + 4;
    size_t left = block.length - 4;
    while (left > 0) {
        const size_t piece = std::min(left, blockSize);
        uint32_t sum = 0;
        for (size_t done = 0; done < piece;) {
            const size_t n = std::min<size_t>(piece - done, 26);
            std::vector<uint8_t> request{kUpgrade, 1};
            request.insert(request.end(), data + done, data + done + n);
            link.send(request);
            if (link.await(1).at(2) != n) fail("raw: DATA echo of a wrong length");
            for (size_t i = 0; i < n; i++)
                sum += data[done + i];
            done += n;
        }
        link.send({kUpgrade, 4});
        status = link.await(7);
        if (status.size() < 7 || status[2] != 0 ||
            (uint32_t{status[3]} << 24 | uint32_t{status[4]} << 16 | uint32_t{status[5]} << 8 |
             status[6]) != sum)
            fail("raw: SUM disagrees");
        link.send({kUpgrade, 5, static_cast<uint8_t>(piece >> 8), static_cast<uint8_t>(piece)});
        status = link.await(7);
        if (status.size() < 3 || status[2] != 0) fail("raw: WRITE refused");
        data += piece;
        left -= piece;
    }
    link.send({kUpgrade, 6});
    const double ms =
        std::chrono::duration<double, std::milli>(rebootAt(far, mark) - start).count();
    checkImage(far, payload, "floor");
    return ms;
}

// ---- the real program ----

struct ChildRun {
    int status = -1; // exit status; -1 killed or died by a signal
    long maxRssKib = 0;
    double seconds = 0;
    std::string out, err;
};

// The argument that makes this program the launcher of a measured child.
constexpr const char* kLaunch = "--launch-measured";

// The launcher: forks (a copy of its own small address space, not the bench's), execs the
// program and reaps it with wait4; its status and peak resident size go to the report file.
// The kernel carries the peak of the address space an exec replaces into the new program's
// figure, so a child spawned straight from the bench, whose memory grows in its phases,
// would report the bench's peak when that is the larger.
int launchMeasured(const char* report, char** argv) {
    const pid_t pid = ::fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // the bench's time-out kills the launcher
        ::execve(argv[0], argv, environ);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) return 1;
    FILE* out = std::fopen(report, "w");
    if (!out) return 1;
    std::fprintf(out, "%d %ld\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss);
    return std::fclose(out) == 0 ? 0 : 1;
}

// The program through the launcher, with its output in files.
// `tick` runs every few milliseconds while it does.
ChildRun runChild(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& extraEnvironment, const TempDir& dir,
                  const std::function<void()>& tick = {}) {
    const std::string report = dir / "updater.rusage";
    std::vector<std::string> words{"update_throughput", kLaunch, report, program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.emplace_back(*e);
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> argv, envp;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string outPath = dir / "updater.out", errPath = dir / "updater.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    const auto start = Clock::now();
    // The launcher is this program: its preload-free environment suits it as well.
    const int error =
        posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) fail("cannot start the launcher: %s", std::strerror(error));
    ChildRun run;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) fail("waitpid: %s", std::strerror(errno));
        if (Clock::now() - start > kChildTime) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        if (tick) tick();
        std::this_thread::sleep_for(5ms);
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(readFile(report).c_str(), "%d %ld", &run.status, &run.maxRssKib) != 2)
        run.status = -1;
    return run;
}

// ---- the run ----

struct Options {
    size_t kib = 256;
    size_t reps = 3;
    std::vector<Transport> transports = {Transport::Usb, Transport::Tcp};
    size_t rssKib = 1024;
    std::string updater = UPDATER_PROGRAM;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t half = v.size() / 2;
    return v.size() % 2 ? v[half] : (v[half - 1] + v[half]) / 2;
}

void runTransport(FarSide& far, Transport t, const std::string& bird, const Bytes& payload,
                  const Options& options) {
    BirdFile file(bird.c_str());
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    if (blocks.size() != 1) fail("the file should hold one firmware block");
    const size_t pieces = (payload.size() + 2047) / 2048;
    std::printf("== %s ==\n", textOf(t).title);
    std::printf("%zu KiB in pieces of 2048 bytes: %zu pieces of 26-byte DATA packets, each "
                "with SUM and WRITE, one request in flight\n",
                options.kib, pieces);
    std::printf("%4s %-12s %10s %12s %9s\n", "rep", "order", "floor ms", "updater ms",
                "thru/floor");
    std::vector<double> floors, tools, ratios;
    for (size_t rep = 0; rep < options.reps; rep++) {
        const bool floorFirst = rep % 2 == 0;
        double f = 0, u = 0;
        for (int step = 0; step < 2; step++) {
            if ((step == 0) == floorFirst)
                f = floorPhase(far, t, blocks[0], payload);
            else
                u = toolPhase(far, t, file, payload);
            far.ready();
        }
        floors.push_back(f);
        tools.push_back(u);
        ratios.push_back(u > 0 ? f / u : 0);
        std::printf("%4zu %-12s %10.1f %12.1f %9.2f\n", rep + 1,
                    floorFirst ? "floor,tool" : "tool,floor", f, u, ratios.back());
    }
    const double kib = static_cast<double>(payload.size()) / 1024;
    const double f = median(floors), u = median(tools);
    std::printf("\n%-8s %10s %10s\n", "", "ms", "KiB/s");
    std::printf("%-8s %10.1f %10.1f\n", "floor", f, f > 0 ? kib / (f / 1000) : 0);
    std::printf("%-8s %10.1f %10.1f\n", "updater", u, u > 0 ? kib / (u / 1000) : 0);
    std::printf("updater/floor throughput: median %.2f (min %.2f, max %.2f); target: at least "
                "0.90\n\n",
                median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
}

// One updater -U over the fake libusb, preloaded: its whole road, with the module's image
// checked afterwards. With `shortLog` the fake's record of bulk transfers, which lives in the
// child (up to 100000 of them, and its copy in the snapshot it leaves at exit), is cleared
// every 50 ms, so that what remains is the program's own.
ChildRun updateOnce(FarSide& far, const std::string& bird, const Bytes& payload,
                    const Options& options, bool shortLog) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "control");
    std::filesystem::create_directory(dir.path() / "home");
    fakeusb::Remote usb(dir.path() / "control");
    fakeusb_device_config config =
        fakeusb::defaultConfig(aTESSAFORM_USB_VENDOR_ID, kProductId, far.text);
    config.backing_port = far.sim.port();
    const fakeusb::RemoteDevice device = usb.addDevice(config);
    if (!device) fail("fake bus: %s", usb.error().c_str());
    auto cleared = Clock::now();
    ChildRun run =
        runChild(options.updater, {"-U", "-d", far.text, "-f", bird, "-i", dir / "store"},
                 {UPDATER_PRELOAD, usb.environment(), "HOME=" + dir / "home"}, dir, [&] {
                     if (!shortLog || Clock::now() - cleared < 50ms || !usb.started()) return;
                     usb.clearTransfers(device); // fails harmlessly once the child is gone
                     cleared = Clock::now();
                 });
    far.ready();
    if (run.status != 0) {
        std::fprintf(stderr, "%s%s", run.out.c_str(), run.err.c_str());
        fail("updater -U ended with status %d", run.status);
    }
    Bytes patched = payload;
    for (size_t i = 0; i < 4; i++)
        patched[0x100 + i] = static_cast<uint8_t>(far.serial >> (8 * i));
    checkImage(far, patched, "updater -U");
    return run;
}

// The real program's whole -U road: its exit status, its own "Update time" line, and its peak
// resident size, with the fake's transfer record as it is and kept short; next to the same
// program printing its usage.
void runUpdater(FarSide& far, const Options& options) {
    TempDir dir;
    const Bytes payload = tftest::randomBytes(options.rssKib * 1024, 3);
    const std::string bird = writeBird(dir, "big.bird", payload);
    std::printf("== updater -U of a %zu KiB image: the program, fake libusb preloaded ==\n",
                options.rssKib);
    const ChildRun run = updateOnce(far, bird, payload, options, false);
    const ChildRun shortLog = updateOnce(far, bird, payload, options, true);
    const ChildRun idle = runChild(options.updater, {"-h"}, {UPDATER_PRELOAD}, dir);
    std::string updateTime = "no \"Update time\" line";
    for (std::istringstream lines(run.out); std::getline(lines, updateTime);)
        if (updateTime.rfind("Update time:", 0) == 0) break;
    std::printf("exit status %d, %.2f s in all; its own line: %s\n", run.status, run.seconds,
                updateTime.c_str());
    double seconds = 0;
    if (std::sscanf(updateTime.c_str(), "Update time: %lf", &seconds) == 1 && seconds > 0)
        std::printf("road (load, connect, loader, firmware, reboot): %.1f KiB/s\n",
                    static_cast<double>(options.rssKib) / seconds);
    const auto mib = [](long kib) { return static_cast<double>(kib) / 1024; };
    std::printf("peak RSS %.1f MiB (%ld KiB); target: at most 16 MiB\n", mib(run.maxRssKib),
                run.maxRssKib);
    std::printf("  the fake's transfer record kept short: %.1f MiB (%ld KiB)\n",
                mib(shortLog.maxRssKib), shortLog.maxRssKib);
    std::printf("  updater -h, same preload: %.1f MiB; the road adds %.1f MiB, %.1f with the "
                "record kept short\n\n",
                mib(idle.maxRssKib), mib(run.maxRssKib - idle.maxRssKib),
                mib(shortLog.maxRssKib - idle.maxRssKib));
}

int usage() {
    std::fprintf(stderr, "usage: update_throughput [--kib N] [--reps R] [--transports usb,tcp] "
                         "[--rss-kib N|0] [--updater PATH]\n");
    return 2;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i], arg = argv[i + 1];
        char* end = nullptr;
        if (opt == "--kib") {
            options.kib = std::strtoul(arg.c_str(), &end, 10);
        } else if (opt == "--reps") {
            options.reps = std::strtoul(arg.c_str(), &end, 10);
        } else if (opt == "--rss-kib") {
            options.rssKib = std::strtoul(arg.c_str(), &end, 10);
        } else if (opt == "--updater") {
            options.updater = arg;
        } else if (opt == "--transports") {
            options.transports.clear();
            std::stringstream list(arg);
            for (std::string name; std::getline(list, name, ',');) {
                if (name == "usb")
                    options.transports.push_back(Transport::Usb);
                else if (name == "tcp")
                    options.transports.push_back(Transport::Tcp);
                else if (name != "none")
                    return false;
            }
        } else {
            return false;
        }
        if (end && *end != '\0') return false;
    }
    return argc % 2 == 1 && options.kib > 0 && options.reps > 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], kLaunch) == 0) return launchMeasured(argv[2], argv + 3);
    Options options;
    if (!parseOptions(argc, argv, options)) return usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        // Unique to the run, so that parallel runs never share a link.
        FarSide far(0xB0000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFu) << 8);
        TempDir dir;
        const Bytes payload = tftest::randomBytes(options.kib * 1024, 2);
        const std::string bird = writeBird(dir, "fw.bird", payload);
        for (Transport t : options.transports)
            runTransport(far, t, bird, payload, options);
        if (options.rssKib > 0) runUpdater(far, options);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "update_throughput: %s\n", e.what());
        return 1;
    }
}
