// Round trips through links to the simulated module (the tfsim program, its own process) next
// to raw round trips of the same bytes with the same far side, over TCP/IP, a serial line and
// the USB kernel driver node; the cost of idle running links; and how both grow with links.
//   link_roundtrip [--pairs N] [--reps R] [--idle S] [--transports tcp,serial,usb]
//                  [--scale tcp,serial,usb|none] [--links 1,8,32] [--tfsim PATH]
// Reading the output: bench/README.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "tfsim/Cobs.h"
#include "tfsim/Packet.h"

extern char** environ;

using Clock = std::chrono::steady_clock;
using tfsim::Bytes;

namespace {

constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kEcho = 0x17;
constexpr uint32_t kSerialBaud = 230400;
// Round trips before each timed phase, so connection set-up and cold caches stay out of it.
constexpr size_t kWarmup = 10;

[[noreturn]] void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "link_roundtrip: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
    std::exit(1);
}

// What the run leaves behind if it stops early: simulator processes and node links. Written
// before they are marked in use, read by the signal handler and at exit.
struct Leftovers {
    static constexpr size_t kSlots = 128;
    std::array<std::atomic<pid_t>, kSlots> pids{};
    std::array<std::array<char, 64>, kSlots> nodes{};
    std::array<std::atomic<bool>, kSlots> nodeUsed{};
};
Leftovers leftovers;

size_t keepPid(pid_t pid) {
    for (size_t i = 0; i < Leftovers::kSlots; i++) {
        pid_t none = 0;
        if (leftovers.pids[i].compare_exchange_strong(none, pid)) return i;
    }
    fail("too many simulator processes");
}

size_t keepNode(const std::string& path) {
    for (size_t i = 0; i < Leftovers::kSlots; i++) {
        if (leftovers.nodeUsed[i].load()) continue;
        std::snprintf(leftovers.nodes[i].data(), leftovers.nodes[i].size(), "%s", path.c_str());
        leftovers.nodeUsed[i].store(true);
        return i;
    }
    fail("too many node links");
}

// Async-signal-safe: unlink and kill only.
void removeLeftovers() {
    for (size_t i = 0; i < Leftovers::kSlots; i++) {
        if (leftovers.nodeUsed[i].exchange(false)) ::unlink(leftovers.nodes[i].data());
        if (pid_t pid = leftovers.pids[i].exchange(0)) ::kill(pid, SIGTERM);
    }
}

void onSignal(int sig) {
    removeLeftovers();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void cleanUpOnExitAndSignals() {
    std::atexit(removeLeftovers);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

// ---- the simulator program ----

std::string tfsimProgram = TFSIM_PROGRAM;

// One tfsim process; it serves one host connection at a time.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) fail("pipe: %s", std::strerror(errno));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        // Our SIGPIPE is ignored; the simulator gets the default back.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &pipe);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        args.insert(args.begin(), tfsimProgram);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int error =
            posix_spawn(&pid_, tfsimProgram.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(out[1]);
        if (error != 0) fail("cannot start %s: %s", tfsimProgram.c_str(), std::strerror(error));
        slot_ = keepPid(pid_);
        FILE* in = fdopen(out[0], "r");
        char line[256] = {};
        if (!in || !std::fgets(line, sizeof line, in)) fail("tfsim said nothing");
        std::fclose(in);
        line[std::strcspn(line, "\n")] = '\0';
        said_ = line;
    }
    ~SimProcess() {
        if (leftovers.pids[slot_].exchange(0) == 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            std::fprintf(stderr, "link_roundtrip: tfsim %d ended with status %d\n", pid_, status);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    pid_t pid() const { return pid_; }
    // After "port " or "pty ".
    std::string said(const char* prefix) const {
        size_t n = std::strlen(prefix);
        if (said_.compare(0, n, prefix) != 0) fail("tfsim said \"%s\"", said_.c_str());
        return said_.substr(n);
    }

  private:
    pid_t pid_ = 0;
    size_t slot_ = 0;
    std::string said_;
};

// ---- transports ----

enum class Transport { Tcp, Serial, Node }; // in the order of kTexts

struct TransportText {
    const char* name; // as the options name it
    const char* title;
};
constexpr TransportText kTexts[] = {
    {"tcp", "TCP/IP: aLink_CreateTCPIP to 127.0.0.1, tfsim --tcp 0"},
    {"serial", "serial: aLink_CreateSerial on a pty carrying COBS frames, tfsim --pty"},
    {"usb", "USB kernel node: aLink_CreateUSB on /dev/tessaform.* -> pty, tfsim --pty --raw"},
};

const char* nameOf(Transport t) {
    return kTexts[static_cast<size_t>(t)].name;
}
const char* titleOf(Transport t) {
    return kTexts[static_cast<size_t>(t)].title;
}

// Serial numbers unique to the run (its pid), so parallel runs and the tests' nodes never meet.
uint32_t nextSerial(Transport t) {
    static uint32_t low = 0;
    if (low > 0xFF) fail("out of serial numbers");
    uint32_t kind = t == Transport::Tcp ? 0xAu : t == Transport::Serial ? 0xBu : 0xCu;
    return kind << 28 | (static_cast<uint32_t>(getpid()) & 0xFFFFFu) << 8 | low++;
}

// A raw exchange on the far side's own channel: the bytes the link would put on it.
class RawLine {
  public:
    RawLine(Transport t, int fd) : transport_(t), fd_(fd) {
        if (t == Transport::Serial) {
            // A blocking line: read returns as soon as a byte has come; VTIME bounds a dead one.
            if (tcgetattr(fd_, &saved_) != 0) fail("tcgetattr: %s", std::strerror(errno));
            termios raw = saved_;
            cfmakeraw(&raw);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 20;
            if (tcsetattr(fd_, TCSANOW, &raw) != 0) fail("tcsetattr: %s", std::strerror(errno));
        }
        // The node keeps the attributes the far side set (VMIN 0, VTIME 1), as the link finds them.
    }
    ~RawLine() {
        if (transport_ == Transport::Serial) tcsetattr(fd_, TCSANOW, &saved_);
        ::close(fd_);
    }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;

    // Writes the request and reads its echo whole; false when the echo is wrong or late.
    bool exchange(const Bytes& wire) {
        if (transport_ == Transport::Serial) {
            Bytes frame = tfsim::cobs::frame(std::span<const uint8_t>(wire));
            if (!writeAll(frame)) return false;
            bool done = false, right = false;
            tfsim::FrameDecoder::Sink sink{
                [&](std::span<const uint8_t> got) {
                    done = true;
                    right = std::equal(got.begin(), got.end(), wire.begin(), wire.end());
                },
                [&](tfsim::FramingFault, uint8_t) { done = true; },
            };
            uint8_t buffer[64];
            while (!done) {
                ssize_t n = readSome(buffer, sizeof buffer);
                if (n <= 0) return false;
                decoder_.feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)), sink);
            }
            return right;
        }
        if (!writeAll(wire)) return false;
        uint8_t answer[64];
        size_t got = 0;
        while (got < wire.size()) {
            ssize_t n = readSome(answer + got, wire.size() - got);
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        return std::equal(wire.begin(), wire.end(), answer);
    }

  private:
    bool writeAll(const Bytes& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // The ptys' reads come back empty every VTIME; give up after two seconds of them.
    ssize_t readSome(uint8_t* into, size_t size) {
        Clock::time_point deadline{};
        for (;;) {
            ssize_t n = ::read(fd_, into, size);
            if (n > 0 || (n < 0 && errno != EINTR)) return n;
            if (n < 0) continue;
            if (transport_ == Transport::Tcp) return 0; // the far side closed
            auto now = Clock::now();
            if (deadline == Clock::time_point{})
                deadline = now + std::chrono::seconds(2);
            else if (now >= deadline)
                return 0;
        }
    }

    Transport transport_;
    int fd_;
    termios saved_{};
    tfsim::FrameDecoder decoder_;
};

// One simulated module and how to reach it, raw or through a link.
class FarSide {
  public:
    explicit FarSide(Transport t) : transport_(t) {
        std::vector<std::string> args;
        if (t == Transport::Tcp) args = {"--tcp", "0"};
        if (t == Transport::Serial) args = {"--pty"};
        if (t == Transport::Node) args = {"--pty", "--raw"};
        args.insert(args.end(),
                    {"--address", std::to_string(kAddress), "--echo", std::to_string(kEcho)});
        sim_ = std::make_unique<SimProcess>(args);
        if (t == Transport::Tcp) {
            port_ = static_cast<uint16_t>(std::stoul(sim_->said("port ")));
            serial_ = nextSerial(t);
        } else {
            slave_ = sim_->said("pty ");
            if (t == Transport::Serial) serial_ = nextSerial(t);
        }
        if (t == Transport::Node) makeNode();
    }
    ~FarSide() {
        if (node_ && leftovers.nodeUsed[nodeSlot_].exchange(false)) ::unlink(nodePath_.c_str());
    }
    FarSide(const FarSide&) = delete;
    FarSide& operator=(const FarSide&) = delete;

    pid_t simPid() const { return sim_->pid(); }

    std::unique_ptr<RawLine> openRaw() const {
        if (transport_ == Transport::Tcp) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port_);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                fail("connect to port %u: %s", unsigned{port_}, std::strerror(errno));
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            timeval wait{2, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            return std::make_unique<RawLine>(transport_, fd);
        }
        const std::string& path = transport_ == Transport::Node ? nodePath_ : slave_;
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) fail("open %s: %s", path.c_str(), std::strerror(errno));
        return std::make_unique<RawLine>(transport_, fd);
    }

    uint32_t createLink() const {
        uint32_t id = 0;
        if (transport_ == Transport::Tcp)
            id = aLink_CreateTCPIP(serial_, htonl(INADDR_LOOPBACK), port_);
        else if (transport_ == Transport::Serial)
            id = aLink_CreateSerial(serial_, slave_.c_str(), kSerialBaud);
        else
            id = aLink_CreateUSB(serial_);
        if (!id) fail("no %s link", nameOf(transport_));
        return id;
    }

  private:
    // The node is a link to the pty slave, which the far side has already set raw.
    void makeNode() {
        for (;;) {
            serial_ = nextSerial(transport_);
            char path[64];
            std::snprintf(path, sizeof path, "/dev/tessaform.%08X", serial_);
            nodePath_ = path;
            nodeSlot_ = keepNode(nodePath_);
            if (::symlink(slave_.c_str(), path) == 0) break;
            int error = errno;
            leftovers.nodeUsed[nodeSlot_].store(false); // not ours to remove
            if (error != EEXIST) fail("symlink %s: %s", path, std::strerror(error));
        }
        node_ = true;
    }

    Transport transport_;
    std::unique_ptr<SimProcess> sim_;
    uint16_t port_ = 0;
    std::string slave_;
    uint32_t serial_ = 0;
    std::string nodePath_;
    size_t nodeSlot_ = 0;
    bool node_ = false;
};

// ---- measuring ----

Bytes request(uint32_t sequence) {
    Bytes data(28, 0);
    data[0] = kEcho;
    for (size_t i = 0; i < 4; i++)
        data[1 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    return data;
}

Bytes wireOf(const Bytes& data) {
    return tfsim::Packet{kAddress, data}.wire();
}

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<std::filesystem::path> tasksOf(pid_t pid) {
    std::vector<std::filesystem::path> tasks;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
        tasks.push_back(entry.path());
    return tasks;
}

// On-CPU time of the simulators' threads (schedstat, in ns: finer than the ticks of stat).
double simCpuSeconds(const std::vector<pid_t>& pids) {
    double total = 0;
    for (pid_t pid : pids)
        for (const auto& task : tasksOf(pid)) {
            std::ifstream in(task / "schedstat");
            double ns = 0;
            if (in >> ns) total += ns / 1e9;
        }
    return total;
}

// Context switches, voluntary and not, of a process's threads by thread id. A thread that
// blocks (poll, a condition wait, a sleep) and is woken again counts one voluntary switch, so
// over an idle stretch this counts its wake-ups; preemptions come on top as involuntary ones.
// Threads that end within the stretch are lost, threads that begin in it count from 0.
std::map<std::string, uint64_t> switchesOf(pid_t pid, bool skipMain) {
    std::map<std::string, uint64_t> switches;
    for (const auto& task : tasksOf(pid)) {
        std::string tid = task.filename().string();
        if (skipMain && tid == std::to_string(pid)) continue;
        std::ifstream in(task / "status");
        uint64_t count = 0;
        for (std::string line; std::getline(in, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                count += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
        switches[tid] = count;
    }
    return switches;
}

uint64_t switchesSince(const std::map<std::string, uint64_t>& before,
                       const std::map<std::string, uint64_t>& after) {
    uint64_t total = 0;
    for (const auto& [tid, count] : after) {
        auto it = before.find(tid);
        total += count - (it == before.end() ? 0 : std::min(it->second, count));
    }
    return total;
}

struct Phase {
    std::vector<double> micros;
    double cpuPerTrip = 0; // seconds of this process
    double simCpuPerTrip = 0;
    size_t failures = 0;
};

double percentile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
    return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1];
}

// Pairs spread over the channels in turn, one in flight at a time. `trip` is one exchange
// with channel i, returning false when its echo was wrong or missing.
template <typename Trip>
Phase timePhase(size_t channels, size_t pairs, const std::vector<pid_t>& sims, Trip trip) {
    Phase phase;
    phase.micros.reserve(pairs);
    for (size_t i = 0; i < std::max(kWarmup, channels); i++) {
        if (trip(i % channels, static_cast<uint32_t>(i), true)) continue;
        // A far side that never answers would cost a timeout per round trip.
        if (i < channels) fail("no echo on channel %zu", i);
        phase.failures++;
    }
    double cpu = processCpuSeconds(), simCpu = simCpuSeconds(sims);
    for (size_t i = 0; i < pairs; i++) {
        auto start = Clock::now();
        bool ok = trip(i % channels, static_cast<uint32_t>(i), false);
        auto elapsed = Clock::now() - start;
        if (!ok) {
            phase.failures++;
            continue;
        }
        phase.micros.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }
    double n = static_cast<double>(std::max<size_t>(pairs, 1));
    phase.cpuPerTrip = (processCpuSeconds() - cpu) / n;
    phase.simCpuPerTrip = (simCpuSeconds(sims) - simCpu) / n;
    return phase;
}

Phase rawPhase(const std::vector<std::unique_ptr<FarSide>>& far, size_t count, size_t pairs,
               const std::vector<pid_t>& sims) {
    std::vector<std::unique_ptr<RawLine>> lines;
    for (size_t i = 0; i < count; i++)
        lines.push_back(far[i]->openRaw());
    return timePhase(count, pairs, sims, [&](size_t c, uint32_t sequence, bool) {
        Bytes wire = wireOf(request(sequence));
        return lines[c]->exchange(wire);
    });
}

bool isEcho(const aPacket* packet, const void*) {
    return packet->length == 28 && packet->data[0] == kEcho;
}

Phase linkPhase(const std::vector<uint32_t>& ids, size_t pairs, const std::vector<pid_t>& sims) {
    return timePhase(ids.size(), pairs, sims, [&](size_t c, uint32_t sequence, bool warmup) {
        Bytes data = request(sequence);
        aPacket* packet = aPacket_CreateWithData(kAddress, 28, data.data());
        aLink_PutPacket(ids[c], packet);
        aPacket_Destroy(&packet);
        aPacket* reply = aLink_AwaitFirst(ids[c], isEcho, nullptr, warmup ? 3000 : 1000);
        if (!reply) return false;
        bool right = std::equal(data.begin(), data.end(), reply->data);
        aPacket_Destroy(&reply);
        return right;
    });
}

struct Idle {
    double wakeupsPerSecond = 0; // the bench's threads but the measuring one
    double simWakeupsPerSecond = 0;
    double cpuPercent = 0; // of one core, this process
};

// Links that run with nothing to do: only their own polling wakes anything.
Idle idleLinks(const std::vector<pid_t>& sims, double seconds) {
    Idle idle;
    if (seconds <= 0) return idle;
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let the last exchange settle
    std::vector<std::map<std::string, uint64_t>> simBefore;
    for (pid_t pid : sims)
        simBefore.push_back(switchesOf(pid, false));
    auto before = switchesOf(getpid(), true);
    double cpu = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    idle.cpuPercent = (processCpuSeconds() - cpu) / seconds * 100.0;
    idle.wakeupsPerSecond =
        static_cast<double>(switchesSince(before, switchesOf(getpid(), true))) / seconds;
    uint64_t simSwitches = 0;
    for (size_t i = 0; i < sims.size(); i++)
        simSwitches += switchesSince(simBefore[i], switchesOf(sims[i], false));
    idle.simWakeupsPerSecond = static_cast<double>(simSwitches) / seconds;
    return idle;
}

// ---- the runs ----

struct Options {
    size_t pairs = 20000;
    size_t reps = 5;
    double idleSeconds = 5;
    std::vector<Transport> transports = {Transport::Tcp, Transport::Serial, Transport::Node};
    std::vector<Transport> scale = {Transport::Tcp};
    std::vector<size_t> links = {1, 8, 32};
};

bool nodeUsable() {
    if (geteuid() == 0 && ::access("/dev", W_OK) == 0) return true;
    std::printf("usb: skipped, creating /dev/tessaform.* needs root\n\n");
    return false;
}

std::vector<pid_t> pidsOf(const std::vector<std::unique_ptr<FarSide>>& far, size_t count) {
    std::vector<pid_t> pids;
    for (size_t i = 0; i < count; i++)
        pids.push_back(far[i]->simPid());
    return pids;
}

size_t runTransport(Transport t, const Options& options) {
    std::vector<std::unique_ptr<FarSide>> far;
    far.push_back(std::make_unique<FarSide>(t));
    const std::vector<pid_t> sims = pidsOf(far, 1);

    std::printf("== %s ==\n", titleOf(t));
    std::printf("%zu round trips per phase, %zu repetitions, raw and link phases interleaved;\n"
                "a 28-byte request, echoed by the simulator\n",
                options.pairs, options.reps);
    std::printf("%4s %-9s %12s %12s %9s\n", "rep", "order", "raw p50 us", "link p50 us",
                "link/raw");
    std::vector<double> raw, link, ratios, creates, destroys;
    double rawCpu = 0, linkCpu = 0, rawSimCpu = 0, linkSimCpu = 0;
    size_t failures = 0;
    Idle idle;
    for (size_t rep = 0; rep < options.reps; rep++) {
        // Alternating the order keeps a drift of the machine out of the ratio.
        bool rawFirst = rep % 2 == 0;
        Phase r, l;
        for (int step = 0; step < 2; step++) {
            if ((step == 0) == rawFirst) {
                r = rawPhase(far, 1, options.pairs, sims);
                continue;
            }
            auto start = Clock::now();
            uint32_t id = far[0]->createLink();
            creates.push_back(millisSince(start));
            l = linkPhase({id}, options.pairs, sims);
            // The last repetition's link, once its traffic is over, is the idle one.
            if (rep + 1 == options.reps) idle = idleLinks(sims, options.idleSeconds);
            start = Clock::now();
            aLink_Destroy(&id);
            destroys.push_back(millisSince(start));
        }
        double rp = percentile(r.micros, 0.5), lp = percentile(l.micros, 0.5);
        ratios.push_back(rp > 0 ? lp / rp : 0);
        std::printf("%4zu %-9s %12.1f %12.1f %9.2f\n", rep + 1, rawFirst ? "raw,link" : "link,raw",
                    rp, lp, ratios.back());
        raw.insert(raw.end(), r.micros.begin(), r.micros.end());
        link.insert(link.end(), l.micros.begin(), l.micros.end());
        rawCpu += r.cpuPerTrip, linkCpu += l.cpuPerTrip;
        rawSimCpu += r.simCpuPerTrip, linkSimCpu += l.simCpuPerTrip;
        failures += r.failures + l.failures;
    }
    double reps = static_cast<double>(std::max<size_t>(options.reps, 1));
    std::printf("\n%-5s %9s %9s %15s %19s\n", "", "p50 us", "p99 us", "CPU us/trip",
                "simulator CPU us/trip");
    std::printf("%-5s %9.1f %9.1f %15.2f %19.2f\n", "raw", percentile(raw, 0.5),
                percentile(raw, 0.99), rawCpu / reps * 1e6, rawSimCpu / reps * 1e6);
    std::printf("%-5s %9.1f %9.1f %15.2f %19.2f\n", "link", percentile(link, 0.5),
                percentile(link, 0.99), linkCpu / reps * 1e6, linkSimCpu / reps * 1e6);
    std::printf("link/raw p50 over repetitions: min %.2f  median %.2f  max %.2f\n",
                ratios.empty() ? 0 : *std::min_element(ratios.begin(), ratios.end()),
                percentile(ratios, 0.5),
                ratios.empty() ? 0 : *std::max_element(ratios.begin(), ratios.end()));
    std::printf("link set-up, median: create %.1f ms, destroy %.1f ms\n", percentile(creates, 0.5),
                percentile(destroys, 0.5));
    std::printf("idle running link, %.1f s: %.1f wake-ups/s of the bench's threads, %.2f%% of a "
                "core; simulator %.1f wake-ups/s\n",
                options.idleSeconds, idle.wakeupsPerSecond, idle.cpuPercent,
                idle.simWakeupsPerSecond);
    if (failures) std::printf("FAILED round trips: %zu (wrong or missing echoes)\n", failures);
    std::printf("\n");
    return failures;
}

size_t runScaling(Transport t, const Options& options) {
    size_t most =
        options.links.empty() ? 0 : *std::max_element(options.links.begin(), options.links.end());
    if (most == 0) return 0;
    std::vector<std::unique_ptr<FarSide>> far;
    for (size_t i = 0; i < most; i++)
        far.push_back(std::make_unique<FarSide>(t));

    std::printf("== scaling, %s: one simulator process per link ==\n", nameOf(t));
    std::printf("%zu round trips per phase taken in turn over the links, one in flight; idle "
                "over %.1f s\n",
                options.pairs, options.idleSeconds);
    std::printf("%5s %11s %12s %9s %12s %13s %14s %12s\n", "links", "raw p50 us", "link p50 us",
                "link/raw", "link p99 us", "idle wake/s", "per link /s", "sim wake/s");
    size_t failures = 0;
    for (size_t count : options.links) {
        if (count == 0) continue;
        const std::vector<pid_t> sims = pidsOf(far, count);
        Phase r = rawPhase(far, count, options.pairs, sims);
        std::vector<uint32_t> ids;
        for (size_t i = 0; i < count; i++)
            ids.push_back(far[i]->createLink());
        Phase l = linkPhase(ids, options.pairs, sims);
        Idle idle = idleLinks(sims, options.idleSeconds);
        for (auto& id : ids)
            aLink_Destroy(&id);
        double rp = percentile(r.micros, 0.5), lp = percentile(l.micros, 0.5);
        std::printf("%5zu %11.1f %12.1f %9.2f %12.1f %13.1f %14.1f %12.1f\n", count, rp, lp,
                    rp > 0 ? lp / rp : 0, percentile(l.micros, 0.99), idle.wakeupsPerSecond,
                    idle.wakeupsPerSecond / static_cast<double>(count), idle.simWakeupsPerSecond);
        failures += r.failures + l.failures;
    }
    if (failures) std::printf("FAILED round trips: %zu (wrong or missing echoes)\n", failures);
    std::printf("\n");
    return failures;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: link_roundtrip [--pairs N] [--reps R] [--idle SECONDS]\n"
        "                      [--transports tcp,serial,usb] [--scale tcp,serial,usb|none]\n"
        "                      [--links 1,8,32] [--tfsim PATH]\n");
    return 2;
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start) parts.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return parts;
}

bool parseTransports(const std::string& text, std::vector<Transport>& out) {
    out.clear();
    if (text == "none") return true;
    for (const auto& name : split(text)) {
        auto known = std::find_if(std::begin(kTexts), std::end(kTexts),
                                  [&](const TransportText& t) { return name == t.name; });
        if (known == std::end(kTexts)) return false;
        out.push_back(static_cast<Transport>(known - std::begin(kTexts)));
    }
    return true;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i], arg = argv[i + 1];
        char* end = nullptr;
        if (opt == "--pairs") {
            options.pairs = std::strtoul(arg.c_str(), &end, 10);
        } else if (opt == "--reps") {
            options.reps = std::strtoul(arg.c_str(), &end, 10);
        } else if (opt == "--idle") {
            options.idleSeconds = std::strtod(arg.c_str(), &end);
        } else if (opt == "--transports") {
            if (!parseTransports(arg, options.transports)) return false;
        } else if (opt == "--scale") {
            if (!parseTransports(arg, options.scale)) return false;
        } else if (opt == "--links") {
            options.links.clear();
            for (const auto& n : split(arg))
                options.links.push_back(std::strtoul(n.c_str(), nullptr, 10));
        } else if (opt == "--tfsim") {
            tfsimProgram = arg;
        } else {
            return false;
        }
        if (end && *end != '\0') return false;
    }
    return argc % 2 == 1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) return usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // a long run shows each table as it ends
    cleanUpOnExitAndSignals();

    size_t failures = 0;
    for (Transport t : options.transports)
        if (t != Transport::Node || nodeUsable()) failures += runTransport(t, options);
    for (Transport t : options.scale)
        if (t != Transport::Node || nodeUsable()) failures += runScaling(t, options);
    return failures ? 1 : 0;
}
