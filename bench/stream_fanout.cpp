// Stream samples from the simulated module (tfsim's stream entity and emitter, in a process of
// its own) to subscription callbacks: through a direct link and through a shared (served) link,
// with one subscriber and with several, next to a raw socket that reads the same samples from
// the same simulator; samples per second delivered, callbacks lost, and the CPU of both sides.
//   stream_fanout [--samples N] [--reps R] [--rates 10000,0] [--subscribers 1,4]
//                 [--heartbeat MS]
// Reading the output: bench/README.md.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "tfsim/Module.h"
#include "tfsim/StreamEmitter.h"
#include "tfsim/StreamEntity.h"
#include "tfsim/SystemEntity.h"

extern char** environ;

using Clock = std::chrono::steady_clock;
using Keldoran::Tessaform::aWeaveConfig;
using Keldoran::Tessaform::Link;
using Keldoran::Tessaform::streamCallback;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kAddress = 0x06;
// The one source: a 32-bit sample of command 3, option 7, index 0 (17 data bytes), whose
// values count up by one over the simulator's life.
constexpr uint8_t kCommand = 3, kOption = 7, kIndex = 0;
constexpr size_t kSampleLength = 17;
// A phase ends when every subscriber has all its samples, or when none got one for this long.
constexpr auto kIdleEnd = 1000ms;
// The emitter sends at most a few hundred samples a millisecond, so this is "as fast as the
// module sends".
constexpr unsigned kTopRate = 1'000'000;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---- the simulator's process ----

// The argument that makes this program the simulator, on the socket named after it.
constexpr const char* kServe = "--serve-simulator";

// Line commands on the socket; each gets one line back.
//   total        -> "total N"   samples sent so far
//   rate R N     -> "ok"        send N samples at R per second
//   wait N       -> "sent N"    once N have gone out (10 s at most)
//   cpu          -> "cpu S"     the process's CPU seconds
int serveCommands(FILE* in, FILE* out, uint32_t serial, unsigned heartbeatMs) {
    try {
        tfsim::Config config{.address = kAddress};
        config.heartbeatPeriod = std::chrono::milliseconds(heartbeatMs);
        tfsim::Module sim{config};
        // The packet server asks the module who it is before it serves it.
        sim.add(std::make_shared<tfsim::SystemEntity>(
            tfsim::Identity{.module = kAddress, .model = 13, .serial = serial}));
        auto streams = sim.add(std::make_shared<tfsim::StreamEntity>(kAddress));
        streams->addSource({.command = kCommand,
                            .option = kOption,
                            .index = kIndex,
                            .kind = tfsim::StreamKind::U32,
                            .first = 1});
        tfsim::StreamEmitter emitter{sim, *streams};
        std::fprintf(out, "port %u\n", unsigned{sim.port()});
        std::fflush(out);
        char line[128];
        while (std::fgets(line, sizeof line, in)) {
            unsigned long long a = 0, b = 0;
            if (std::sscanf(line, "rate %llu %llu", &a, &b) == 2) {
                emitter.setRate(static_cast<unsigned>(a), b);
                std::fprintf(out, "ok\n");
            } else if (std::sscanf(line, "wait %llu", &a) == 1) {
                streams->waitForSent(a, 10s);
                std::fprintf(out, "sent %llu\n",
                             static_cast<unsigned long long>(streams->totalSent()));
            } else if (std::strncmp(line, "total", 5) == 0) {
                std::fprintf(out, "total %llu\n",
                             static_cast<unsigned long long>(streams->totalSent()));
            } else if (std::strncmp(line, "cpu", 3) == 0) {
                std::fprintf(out, "cpu %.6f\n", ownCpuSeconds());
            } else {
                break;
            }
            std::fflush(out);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "stream_fanout: simulator: %s\n", e.what());
        return 1;
    }
    return 0;
}

int serveSimulator(int fd, uint32_t serial, unsigned heartbeatMs) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // a bench that dies takes its simulator along
    // Apart, since a stream that both reads and writes must be repositioned between the two.
    FILE* in = fdopen(fd, "r");
    FILE* out = fdopen(::dup(fd), "w");
    const int result = in && out ? serveCommands(in, out, serial, heartbeatMs) : 1;
    if (in) std::fclose(in);
    if (out) std::fclose(out);
    return result;
}

// The simulator in a process of its own (this program again, told to serve), so that its
// CPU and the bench's are counted apart.
class Simulator {
  public:
    Simulator(uint32_t serial, unsigned heartbeatMs) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw Failure("socketpair");
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        std::vector<std::string> args{"stream_fanout", kServe, std::to_string(fds[1]),
                                      std::to_string(serial), std::to_string(heartbeatMs)};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int error =
            posix_spawn(&pid_, "/proc/self/exe", nullptr, nullptr, argv.data(), environ);
        ::close(fds[1]);
        fd_ = fds[0];
        if (error != 0)
            throw Failure(std::string("cannot start the simulator: ") + std::strerror(error));
        unsigned port = 0;
        std::string said = readLine();
        if (std::sscanf(said.c_str(), "port %u", &port) != 1 || port == 0)
            throw Failure("the simulator said \"" + said + "\"");
        port_ = static_cast<uint16_t>(port);
    }
    ~Simulator() {
        ::close(fd_); // its command loop ends at the end of input
        int status = 0;
        ::waitpid(pid_, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            std::fprintf(stderr, "stream_fanout: the simulator ended with status %d\n", status);
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    uint16_t port() const { return port_; }

    uint64_t total() { return number(ask("total"), "total %llu"); }
    void start(unsigned rate, uint64_t count) {
        if (ask("rate " + std::to_string(rate) + " " + std::to_string(count)) != "ok")
            throw Failure("the simulator refused the rate");
    }
    void waitForSent(uint64_t total) {
        if (number(ask("wait " + std::to_string(total)), "sent %llu") < total)
            throw Failure("the simulator did not send all its samples");
    }
    double cpuSeconds() {
        double seconds = 0;
        std::string said = ask("cpu");
        if (std::sscanf(said.c_str(), "cpu %lf", &seconds) != 1) throw Failure("cpu: " + said);
        return seconds;
    }

  private:
    std::string ask(const std::string& line) {
        std::string text = line + "\n";
        if (::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw Failure("the simulator is gone");
        return readLine();
    }
    std::string readLine() {
        std::string line;
        char c = 0;
        for (;;) {
            ssize_t n = ::read(fd_, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw Failure("the simulator is gone");
            if (c == '\n') return line;
            line += c;
        }
    }
    static uint64_t number(const std::string& said, const char* format) {
        unsigned long long value = 0;
        if (std::sscanf(said.c_str(), format, &value) != 1) throw Failure("simulator: " + said);
        return value;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    uint16_t port_ = 0;
};

// ---- what a subscriber saw ----

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// One subscriber's samples of a phase, whose values lie in (low, high]. Written by one
// callback thread (or the raw reader); the main thread reads the atomics.
struct Tally {
    uint64_t low = 0, high = 0;
    uint64_t previous = 0;
    std::atomic<uint64_t> got{0};
    std::atomic<uint64_t> wrong{0}; // out of order, repeated, or never sent in this phase
    std::atomic<int64_t> lastAt{0};

    void take(uint32_t value) {
        if (value <= previous || value <= low || value > high) wrong++;
        previous = value;
        lastAt = nowNs();
        got++;
    }
};

streamCallback counter(Tally* tally) {
    return [tally](const aPacket* packet, void*) -> unsigned char {
        uint32_t value = 0;
        if (Link::getStreamSample(packet, nullptr, &value, nullptr) != aErrNone)
            tally->wrong++;
        else
            tally->take(value);
        return 0;
    };
}

struct Phase {
    double perSecond = 0;       // the slowest subscriber's samples over the phase's time
    double callbacks = 0;       // all subscribers' samples per second together
    uint64_t lost = 0;          // samples some subscriber never got, added up
    uint64_t wrong = 0;         // samples out of order or not of this phase
    size_t starved = 0;         // subscribers that got nothing
    double cpuPerSample = 0;    // this process, microseconds per sample sent
    double simCpuPerSample = 0; // the simulator's
};

// A phase's tallies, their range set from the simulator's count before anything subscribes
// (subscribing orders these writes before the callback thread's reads).
struct Tallies {
    uint64_t base = 0;
    std::vector<std::unique_ptr<Tally>> each;
};

Tallies makeTallies(Simulator& sim, size_t count, uint64_t samples) {
    Tallies tallies;
    tallies.base = sim.total();
    for (size_t i = 0; i < count; i++) {
        tallies.each.push_back(std::make_unique<Tally>());
        tallies.each.back()->low = tallies.each.back()->previous = tallies.base;
        tallies.each.back()->high = tallies.base + samples;
    }
    return tallies;
}

// From the simulator's start until every tally is full or none moves for a while; the CPU
// figures stop at the last progress seen (the simulator's within 5 ms of it), so the idle
// end costs nothing.
Phase runPhase(Simulator& sim, Tallies& tallies, unsigned rate, uint64_t samples,
               const std::function<void()>& pump = {}) {
    const uint64_t base = tallies.base;
    const double simCpu = sim.cpuSeconds();
    const double cpu = ownCpuSeconds();
    const int64_t start = nowNs();
    sim.start(rate, samples);
    uint64_t seen = 0;
    double cpuAtProgress = ownCpuSeconds(), simCpuAtProgress = simCpu;
    auto progressAt = Clock::now(), simReadAt = progressAt - 1h;
    for (;;) {
        if (pump)
            pump();
        else
            std::this_thread::sleep_for(2ms);
        uint64_t now = 0;
        bool full = true;
        for (auto& t : tallies.each) {
            now += t->got;
            full = full && t->got >= samples;
        }
        if (now != seen) {
            seen = now;
            progressAt = Clock::now();
            cpuAtProgress = ownCpuSeconds();
            // Asking costs both sides a little, so not at every step.
            if (full || progressAt - simReadAt > 5ms) {
                simCpuAtProgress = sim.cpuSeconds();
                simReadAt = progressAt;
            }
        }
        if (full || Clock::now() - progressAt > kIdleEnd) break;
    }
    // Every sample has left the simulator before the next phase counts from its total.
    sim.waitForSent(base + samples);
    Phase phase;
    phase.cpuPerSample = (cpuAtProgress - cpu) / static_cast<double>(samples) * 1e6;
    phase.simCpuPerSample = (simCpuAtProgress - simCpu) / static_cast<double>(samples) * 1e6;
    phase.perSecond = INFINITY;
    for (auto& t : tallies.each) {
        const uint64_t got = t->got;
        const double seconds = static_cast<double>(t->lastAt - start) / 1e9;
        const double rateOf = got > 0 && seconds > 0 ? static_cast<double>(got) / seconds : 0;
        phase.perSecond = std::min(phase.perSecond, rateOf);
        phase.callbacks += rateOf;
        phase.lost += samples - std::min(got, samples);
        phase.wrong += t->wrong;
        phase.starved += got == 0 ? 1 : 0;
    }
    return phase;
}

// ---- the paths ----

enum class Path { Raw, Direct, Served, ServedLinks };

struct PathText {
    const char* name;
    const char* title;
};
constexpr PathText kPaths[] = {
    {"raw", "raw socket"},
    {"direct", "direct link"},
    {"served", "served link"},
    {"links", "served, Links"},
};

const PathText& textOf(Path p) {
    return kPaths[static_cast<size_t>(p)];
}

// Subscriptions that all catch the one source: the exact key, then wildcards.
struct Key {
    uint8_t command, option, index;
};
constexpr Key kKeys[] = {
    {kCommand, kOption, kIndex}, {kCommand, 0xFF, kIndex}, {kCommand, kOption, 0xFF},
    {kCommand, 0xFF, 0xFF},      {0xFF, kOption, kIndex},  {0xFF, 0xFF, kIndex},
    {0xFF, kOption, 0xFF},       {0xFF, 0xFF, 0xFF},
};
constexpr size_t kMostSubscribers = std::size(kKeys);

linkSpec tcpSpec(uint16_t port, uint32_t serial) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.moduleAddress = kAddress;
    spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.t.ip.ipPort = port;
    return spec;
}

void check(aErr err, const char* what) {
    if (err != aErrNone) throw Failure(std::string(what) + ": error " + std::to_string(err));
}

Phase linkPhase(Simulator& sim, uint32_t serial, Path path, size_t subscribers, unsigned rate,
                uint64_t samples) {
    // Before the links, so that their callback threads have ended before it goes.
    Tallies tallies = makeTallies(sim, subscribers, samples);
    std::vector<std::unique_ptr<Link>> links;
    links.push_back(std::make_unique<Link>(tcpSpec(sim.port(), serial), "fanout"));
    if (path == Path::Direct) {
        aWeaveConfig config;
        config.enabled = 0;
        config.fallback = 0;
        check(links[0]->setConfig(config), "setConfig");
    }
    check(links[0]->connect(), "connect");
    if (path == Path::ServedLinks) {
        // The others are clients of the first Link's server, as other programs would be.
        aWeaveConfig config;
        check(links[0]->getConfig(&config), "getConfig");
        linkSpec spec = tcpSpec(config.assignedPort, serial);
        spec.type = AWEAVE;
        for (size_t i = 1; i < subscribers; i++) {
            links.push_back(std::make_unique<Link>(spec, "fanout client"));
            check(links.back()->connect(), "client connect");
        }
    }
    for (size_t i = 0; i < subscribers; i++) {
        Link& link = *links[path == Path::ServedLinks ? i : 0];
        const Key& key = kKeys[path == Path::ServedLinks ? 0 : i];
        check(link.registerStreamCallback(kAddress, key.command, key.option, key.index, true,
                                          counter(tallies.each[i].get()), nullptr),
              "subscribe");
    }
    Phase phase = runPhase(sim, tallies, rate, samples);
    for (size_t i = 0; i < subscribers; i++) {
        Link& link = *links[path == Path::ServedLinks ? i : 0];
        const Key& key = kKeys[path == Path::ServedLinks ? 0 : i];
        link.registerStreamCallback(kAddress, key.command, key.option, key.index, false, nullptr,
                                    nullptr);
    }
    while (!links.empty()) // the clients before the server's own Link
        links.pop_back();
    return phase;
}

// The module's bytes straight off a TCP socket: the enable request and its reply, then the
// samples parsed out of the stream (heartbeats skipped, not answered).
class RawReader {
  public:
    explicit RawReader(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw Failure("raw connect");
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval wait{0, 50'000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        request(0x81);
    }
    ~RawReader() {
        try {
            request(0x82);
        } catch (const Failure&) {
        }
        ::close(fd_);
    }
    RawReader(const RawReader&) = delete;
    RawReader& operator=(const RawReader&) = delete;

    // Reads what has come (50 ms at most) and hands each sample to the tally.
    void pump(Tally& tally) {
        uint8_t chunk[65536];
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n <= 0) return;
        buffer_.insert(buffer_.end(), chunk, chunk + n);
        size_t at = 0;
        while (buffer_.size() - at >= 2 && buffer_.size() - at >= 2u + buffer_[at + 1]) {
            const uint8_t* data = &buffer_[at + 2];
            const size_t length = buffer_[at + 1];
            if (length == kSampleLength && data[0] == kCommand && (data[2] & 0x40)) {
                tally.take(static_cast<uint32_t>(data[12]) << 24 |
                           static_cast<uint32_t>(data[13]) << 16 |
                           static_cast<uint32_t>(data[14]) << 8 | data[15]);
            } else if (length >= 2 && data[0] == 0x5D && (data[1] & 0x3F) == 1) {
                replied_ = true;
            }
            at += 2 + length;
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(at));
    }

  private:
    // A stream-control set: enable (0x81) or disable (0x82) of the one key.
    void request(uint8_t option) {
        const uint8_t wire[] = {kAddress, 7,        0x5D,    option, 0x20,
                                kAddress, kCommand, kOption, kIndex};
        if (::write(fd_, wire, sizeof wire) != static_cast<ssize_t>(sizeof wire))
            throw Failure("raw write");
        if (option != 0x81) return;
        Tally none;
        const auto deadline = Clock::now() + 5s;
        while (!replied_ && Clock::now() < deadline)
            pump(none);
        if (!replied_) throw Failure("no reply to the raw stream enable");
    }

    int fd_;
    std::vector<uint8_t> buffer_;
    bool replied_ = false;
};

Phase rawPhase(Simulator& sim, unsigned rate, uint64_t samples) {
    RawReader reader(sim.port());
    Tallies tallies = makeTallies(sim, 1, samples);
    Tally& tally = *tallies.each[0];
    return runPhase(sim, tallies, rate, samples, [&] { reader.pump(tally); });
}

// ---- the run ----

struct Options {
    uint64_t samples = 20000;
    size_t reps = 3;
    std::vector<unsigned> rates = {10000, 0};
    std::vector<size_t> subscribers = {1, 4};
    unsigned heartbeatMs = 10;
};

struct Config {
    Path path;
    size_t subscribers;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t half = v.size() / 2;
    return v.size() % 2 ? v[half] : (v[half - 1] + v[half]) / 2;
}

size_t runRate(Simulator& sim, uint32_t serial, const std::vector<Config>& configs, unsigned rate,
               const Options& options) {
    if (rate == 0)
        std::printf("== as fast as the module sends (at most a few hundred samples a ms), ");
    else
        std::printf("== %u samples/s from the module, ", rate);
    std::printf("%llu samples per phase, %zu repetitions ==\n",
                static_cast<unsigned long long>(options.samples), options.reps);
    std::vector<std::vector<Phase>> phases(configs.size());
    for (size_t rep = 0; rep < options.reps; rep++)
        for (size_t k = 0; k < configs.size(); k++) {
            // Each repetition starts one further on, so a drift of the machine falls on all.
            const size_t i = (k + rep) % configs.size();
            const Config& c = configs[i];
            const unsigned r = rate == 0 ? kTopRate : rate;
            phases[i].push_back(c.path == Path::Raw ? rawPhase(sim, r, options.samples)
                                                    : linkPhase(sim, serial, c.path, c.subscribers,
                                                                r, options.samples));
        }
    std::printf("%-14s %4s %13s %21s %14s %10s %11s %11s %7s\n", "path", "subs", "samples/s",
                "(min .. max)", "callbacks/s", "lost", "CPU us", "sim CPU us", "vs raw");
    double raw = 0;
    size_t failures = 0;
    for (size_t i = 0; i < configs.size(); i++) {
        std::vector<double> rates, callbacks, lost, cpu, simCpu;
        uint64_t wrong = 0;
        size_t starved = 0;
        for (const Phase& p : phases[i]) {
            rates.push_back(p.perSecond);
            callbacks.push_back(p.callbacks);
            lost.push_back(static_cast<double>(p.lost));
            cpu.push_back(p.cpuPerSample);
            simCpu.push_back(p.simCpuPerSample);
            wrong += p.wrong;
            starved += p.starved;
        }
        const double m = median(rates);
        if (configs[i].path == Path::Raw) raw = m;
        std::printf("%-14s %4zu %13.0f %10.0f .. %-8.0f %14.0f %10.0f %11.2f %11.2f %7.2f\n",
                    textOf(configs[i].path).title, configs[i].subscribers, m,
                    *std::min_element(rates.begin(), rates.end()),
                    *std::max_element(rates.begin(), rates.end()), median(callbacks), median(lost),
                    median(cpu), median(simCpu), raw > 0 ? m / raw : 0);
        if (wrong || starved) {
            std::printf("FAILED: %llu samples out of order or not sent, %zu subscribers got "
                        "nothing\n",
                        static_cast<unsigned long long>(wrong), starved);
            failures += wrong + starved;
        }
    }
    std::printf("\n");
    return failures;
}

int usage() {
    std::fprintf(stderr,
                 "usage: stream_fanout [--samples N] [--reps R] [--rates 10000,0] "
                 "[--subscribers 1,4] [--heartbeat MS]\n"
                 "  rate 0: as fast as the module sends; at most %zu subscribers\n",
                 kMostSubscribers);
    return 2;
}

template <typename T> bool parseList(const std::string& text, std::vector<T>& out) {
    out.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(start, comma - start);
        char* end = nullptr;
        unsigned long value = std::strtoul(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0') return false;
        out.push_back(static_cast<T>(value));
        start = comma + 1;
    }
    return !out.empty();
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i], arg = argv[i + 1];
        char* end = nullptr;
        if (opt == "--samples") {
            options.samples = std::strtoull(arg.c_str(), &end, 10);
        } else if (opt == "--reps") {
            options.reps = std::strtoul(arg.c_str(), &end, 10);
        } else if (opt == "--heartbeat") {
            options.heartbeatMs = static_cast<unsigned>(std::strtoul(arg.c_str(), &end, 10));
        } else if (opt == "--rates") {
            if (!parseList(arg, options.rates)) return false;
        } else if (opt == "--subscribers") {
            if (!parseList(arg, options.subscribers)) return false;
        } else {
            return false;
        }
        if (end && *end != '\0') return false;
    }
    for (size_t n : options.subscribers)
        if (n == 0 || n > kMostSubscribers) return false;
    return argc % 2 == 1 && options.samples > 0 && options.reps > 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], kServe) == 0)
        return serveSimulator(std::atoi(argv[2]),
                              static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                              static_cast<unsigned>(std::atoi(argv[4])));
    Options options;
    if (!parseOptions(argc, argv, options)) return usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGPIPE, SIG_IGN);
    // Unique to the run, so that parallel runs' servers never publish the same module.
    const uint32_t serial = 0xE0000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFu) << 8;
    try {
        Simulator sim(serial, options.heartbeatMs);
        std::vector<Config> configs{{Path::Raw, 1}};
        for (Path p : {Path::Direct, Path::Served})
            for (size_t n : options.subscribers)
                configs.push_back({p, n});
        for (size_t n : options.subscribers)
            if (n > 1) configs.push_back({Path::ServedLinks, n});
        std::printf("One 32-bit stream (a %zu-byte packet per sample) from tfsim's stream entity, "
                    "heartbeats every %u ms.\n"
                    "direct: one unshared Link, its subscriptions on it; served: one Link behind "
                    "its local packet server;\n"
                    "served, Links: that Link and more client Links of its server, one "
                    "subscription each.\n\n",
                    kSampleLength + 2, options.heartbeatMs);
        size_t failures = 0;
        for (unsigned rate : options.rates)
            failures += runRate(sim, serial, configs, rate, options);
        return failures ? 1 : 0;
    } catch (const Failure& e) {
        std::fprintf(stderr, "stream_fanout: %s\n", e.what());
        return 1;
    }
}
