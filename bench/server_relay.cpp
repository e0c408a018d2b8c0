// Round trips through the packet server (client links -> server -> TCP/IP device link) next to
// a direct TCP/IP link to the same simulated module (the tfsim program, its own process), for
// one client and for several at once; and, for one client, the stages of the served path.
//   server_relay [--pairs N] [--reps R] [--clients 1,4] [--stages on|off] [--tfsim PATH]
// Reading the output: bench/README.md.
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "aLink.h"
#include "aServer_ZeroMQ.h"

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kEcho = 0x17;
constexpr size_t kWarmup = 20; // round trips per channel before the timing starts
constexpr uint64_t kReplyWaitMs = 2000;

// What ends a run early; thrown on the main thread, so that every holder (the simulator's
// among them) is taken down on the way out.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::atomic<pid_t> simulatorPid{0};

std::string tfsimProgram = TFSIM_PROGRAM;

// The simulator serves until SIGTERM, so a bench stopped by a signal ends it first.
void onSignal(int sig) {
    if (pid_t pid = simulatorPid.exchange(0)) ::kill(pid, SIGTERM);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// tfsim --tcp 0 --echo 0x17 in a process of its own; one host connection at a time.
class Simulator {
  public:
    Simulator()
        : process_(tfsimProgram, {"--tcp", "0", "--address", std::to_string(kAddress), "--echo",
                                  std::to_string(kEcho)}) {
        simulatorPid = process_.pid();
        auto line = process_.readLine(10s);
        unsigned port = 0;
        if (!line || std::sscanf(line->c_str(), "port %u", &port) != 1 || port == 0)
            throw Failure("tfsim said \"" + line.value_or("") + "\"");
        port_ = static_cast<uint16_t>(port);
    }
    ~Simulator() {
        simulatorPid = 0;
        process_.signal(SIGTERM);
        process_.finish(10s);
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    uint16_t port() const { return port_; }
    pid_t pid() const { return process_.pid(); }

  private:
    tftest::ChildProcess process_;
    uint16_t port_ = 0;
};

// User and system time of a whole process (all its threads), from /proc.
double cpuSecondsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    size_t close = text.rfind(')'); // the command name may hold spaces
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size() && fields.size() < 13) {
        size_t space = text.find(' ', at);
        fields.push_back(text.substr(at, space - at));
        at = space == std::string::npos ? text.size() : space + 1;
    }
    if (fields.size() < 13) return 0;
    double ticks =
        std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double quantile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
    rank = std::clamp<size_t>(rank, 1, samples.size()) - 1;
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(rank), samples.end());
    return samples[rank];
}

// 28 bytes: the echo command, the channel, the request's number, and filler.
Bytes request(uint8_t channel, uint32_t sequence) {
    Bytes data(28, 0x5A);
    data[0] = kEcho;
    data[1] = channel;
    for (size_t i = 0; i < 4; i++)
        data[2 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    return data;
}

bool isEchoOf(const aPacket* packet, const void* ref) {
    const auto& want = *static_cast<const Bytes*>(ref);
    return packet->length == want.size() && std::equal(want.begin(), want.end(), packet->data);
}

// One request, one in flight, and its echo; several threads may share a link, each taking
// only its own echo.
bool linkTrip(uint32_t id, const Bytes& data) {
    aPacket* packet =
        aPacket_CreateWithData(kAddress, static_cast<uint8_t>(data.size()), data.data());
    aErr put = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    if (put != aErrNone) return false;
    aPacket* reply = aLink_AwaitFirst(id, isEchoOf, &data, kReplyWaitMs);
    if (!reply) return false;
    aPacket_Destroy(&reply);
    return true;
}

// A round trip of channel c (a thread of its own) with request number n.
using Trip = std::function<bool(size_t c, uint32_t n)>;

struct Phase {
    std::vector<double> micros;
    double perSecond = 0;
    double cpuPerTrip = 0; // this process, microseconds
    double simCpuPerTrip = 0;
    size_t failures = 0;
};

// `channels` threads each make pairs / channels round trips, one in flight each, all starting
// together once every one has had its warm-up.
Phase timePhase(size_t channels, size_t pairs, pid_t sim, const Trip& trip) {
    Phase phase;
    std::vector<std::vector<double>> micros(channels);
    std::vector<size_t> failures(channels, 0);
    std::atomic<size_t> warmupFailures{0};
    std::atomic<bool> dead{false}; // no echo in the whole warm-up: the far side is gone
    std::latch warm(static_cast<std::ptrdiff_t>(channels + 1)), go(1);
    std::vector<std::thread> threads;
    const size_t each = std::max<size_t>(pairs / channels, 1);
    for (size_t c = 0; c < channels; c++)
        threads.emplace_back([&, c] {
            for (uint32_t n = 0; n < kWarmup; n++)
                if (!trip(c, n)) warmupFailures++;
            warm.count_down();
            go.wait();
            micros[c].reserve(each);
            for (size_t n = 0; n < each && !dead; n++) {
                auto start = Clock::now();
                bool ok = trip(c, static_cast<uint32_t>(kWarmup + n));
                auto elapsed = Clock::now() - start;
                if (ok)
                    micros[c].push_back(std::chrono::duration<double, std::micro>(elapsed).count());
                else
                    failures[c]++;
            }
        });
    warm.arrive_and_wait();
    dead = warmupFailures == channels * kWarmup;
    double cpu = ownCpuSeconds(), simCpu = cpuSecondsOf(sim);
    auto start = Clock::now();
    go.count_down();
    for (auto& t : threads)
        t.join();
    if (dead) throw Failure("no echo at all");
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double trips = static_cast<double>(each * channels);
    phase.cpuPerTrip = (ownCpuSeconds() - cpu) / trips * 1e6;
    phase.simCpuPerTrip = (cpuSecondsOf(sim) - simCpu) / trips * 1e6;
    for (size_t c = 0; c < channels; c++) {
        phase.micros.insert(phase.micros.end(), micros[c].begin(), micros[c].end());
        phase.failures += failures[c];
    }
    phase.perSecond = static_cast<double>(phase.micros.size()) / seconds;
    return phase;
}

// Serial numbers unique to the run, so that parallel runs never share a link.
uint32_t nextSerial() {
    static uint32_t low = 0;
    return 0xD0000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFu) << 8 | (low++ & 0xFFu);
}

uint32_t directLink(const Simulator& sim) {
    uint32_t id = aLink_CreateTCPIP(nextSerial(), htonl(INADDR_LOOPBACK), sim.port());
    if (!id) throw Failure("no TCP/IP link to the simulator");
    return id;
}

// A TCP/IP device link to the simulator with a local-only server in front of it.
class Served {
  public:
    explicit Served(const Simulator& sim) : device_(directLink(sim)) {
        server_ = aServer_Create(device_, 0, true);
        if (!server_ || aServer_Start(server_) != aErrNone || aServer_GetPort(server_, &port_))
            throw Failure("the server did not start");
    }
    ~Served() {
        for (auto& id : clients_)
            aLink_Destroy(&id);
        aServer_Destroy(&server_);
        aLink_Destroy(&device_);
    }
    Served(const Served&) = delete;
    Served& operator=(const Served&) = delete;

    uint16_t port() const { return port_; }
    uint32_t addClient() {
        uint32_t id = aLink_CreateClient(htonl(INADDR_LOOPBACK), port_, 0);
        if (!id) throw Failure("no client link");
        clients_.push_back(id);
        return id;
    }

  private:
    uint32_t device_;
    aServer* server_ = nullptr;
    uint16_t port_ = 0;
    std::vector<uint32_t> clients_;
};

struct Options {
    size_t pairs = 20000;
    size_t reps = 5;
    std::vector<size_t> clients = {1, 4};
    bool stages = true;
};

struct Summary {
    std::vector<double> micros;
    std::vector<double> perSecond, cpu, simCpu;
    size_t failures = 0;

    void add(const Phase& p) {
        micros.insert(micros.end(), p.micros.begin(), p.micros.end());
        perSecond.push_back(p.perSecond);
        cpu.push_back(p.cpuPerTrip);
        simCpu.push_back(p.simCpuPerTrip);
        failures += p.failures;
    }
    void print(const char* name) const {
        std::printf("%-8s %9.1f %9.1f %11.0f %13.1f %17.1f\n", name, quantile(micros, 0.5),
                    quantile(micros, 0.99), quantile(perSecond, 0.5), quantile(cpu, 0.5),
                    quantile(simCpu, 0.5));
    }
};

void printHeading() {
    std::printf("%-8s %9s %9s %11s %13s %17s\n", "", "p50 us", "p99 us", "requests/s", "CPU us/req",
                "sim CPU us/req");
}

// Direct and served phases by turns (the order alternates, so a drift of the machine falls on
// both); each phase makes its links and takes them down outside the timing.
size_t compare(const Simulator& sim, size_t clients, const Options& options) {
    if (clients == 1)
        std::printf("== 1 client: a client link through the server against a direct link ==\n");
    else
        std::printf("== %zu clients: %zu client links through the server against 1 direct link "
                    "driven by %zu threads ==\n"
                    "(one request in flight per client or thread; the direct link routes nothing, "
                    "each thread takes its own echo off the one in-FIFO)\n",
                    clients, clients, clients);
    std::printf("%zu round trips per phase, %zu repetitions, a 28-byte request echoed\n",
                options.pairs, options.reps);
    std::printf("%4s %-14s %14s %14s %14s %14s\n", "rep", "order", "direct p50 us", "server p50 us",
                "server/direct", "req/s ratio");
    Summary direct, served;
    std::vector<double> ratios;
    for (size_t rep = 0; rep < options.reps; rep++) {
        bool directFirst = rep % 2 == 0;
        Phase d, s;
        for (int step = 0; step < 2; step++) {
            if ((step == 0) == directFirst) {
                uint32_t id = directLink(sim);
                d = timePhase(clients, options.pairs, sim.pid(), [&](size_t c, uint32_t n) {
                    return linkTrip(id, request(static_cast<uint8_t>(c), n));
                });
                aLink_Destroy(&id);
            } else {
                Served path(sim);
                std::vector<uint32_t> ids;
                for (size_t c = 0; c < clients; c++)
                    ids.push_back(path.addClient());
                s = timePhase(clients, options.pairs, sim.pid(), [&](size_t c, uint32_t n) {
                    return linkTrip(ids[c], request(static_cast<uint8_t>(c), n));
                });
            }
        }
        double dp = quantile(d.micros, 0.5), sp = quantile(s.micros, 0.5);
        ratios.push_back(dp > 0 ? sp / dp : 0);
        std::printf("%4zu %-14s %14.1f %14.1f %14.2f %14.2f\n", rep + 1,
                    directFirst ? "direct,server" : "server,direct", dp, sp, ratios.back(),
                    d.perSecond > 0 ? s.perSecond / d.perSecond : 0);
        direct.add(d);
        served.add(s);
    }
    std::printf("\n");
    printHeading();
    direct.print("direct");
    served.print("server");
    double dp = quantile(direct.micros, 0.5), sp = quantile(served.micros, 0.5);
    double d99 = quantile(direct.micros, 0.99), s99 = quantile(served.micros, 0.99);
    double dr = quantile(direct.perSecond, 0.5), sr = quantile(served.perSecond, 0.5);
    std::printf("server/direct: p50 %.2f, p99 %.2f, requests/s %.2f; p50 ratio over "
                "repetitions: min %.2f median %.2f max %.2f\n",
                dp > 0 ? sp / dp : 0, d99 > 0 ? s99 / d99 : 0, dr > 0 ? sr / dr : 0,
                *std::min_element(ratios.begin(), ratios.end()), quantile(ratios, 0.5),
                *std::max_element(ratios.begin(), ratios.end()));
    size_t failures = direct.failures + served.failures;
    if (failures) std::printf("FAILED round trips: %zu (wrong or missing echoes)\n", failures);
    std::printf("\n");
    return failures;
}

// ---- stages of the served path, one client ----

// A DEALER of the bench's own, sending each request as one frame, as a client stream does.
class RawClient {
  public:
    explicit RawClient(uint16_t port) : socket_(zsock_new(ZMQ_DEALER)) {
        if (!socket_ || zsock_connect(socket_, "tcp://127.0.0.1:%u", port) != 0)
            throw Failure("no DEALER to port " + std::to_string(port));
        zsock_set_rcvtimeo(socket_, static_cast<int>(kReplyWaitMs));
    }
    ~RawClient() { zsock_destroy(&socket_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool trip(const Bytes& data) {
        Bytes wire{kAddress, static_cast<uint8_t>(data.size())};
        wire.insert(wire.end(), data.begin(), data.end());
        zframe_t* frame = zframe_new(wire.data(), wire.size());
        if (zframe_send(&frame, socket_, 0) != 0) return false;
        zframe_t* reply = zframe_recv(socket_);
        bool right = reply && zframe_size(reply) == wire.size() &&
                     std::memcmp(zframe_data(reply), wire.data(), wire.size()) == 0;
        zframe_destroy(&reply);
        return right;
    }

  private:
    zsock_t* socket_;
};

// A ROUTER of the bench's own that sends every packet to the module straight back (the link's
// own route commands it drops, as a server does): a server and module that cost nothing, so
// that what is left is the client link and its stream.
class EchoRouter {
  public:
    EchoRouter() : socket_(zsock_new(ZMQ_ROUTER)) {
        int port = socket_ ? zsock_bind(socket_, "tcp://127.0.0.1:*") : -1;
        if (port <= 0) throw Failure("no ROUTER");
        port_ = static_cast<uint16_t>(port);
        thread_ = std::thread([this] { serve(); });
    }
    ~EchoRouter() {
        stop_ = true;
        thread_.join();
        zsock_destroy(&socket_);
    }
    EchoRouter(const EchoRouter&) = delete;
    EchoRouter& operator=(const EchoRouter&) = delete;

    uint16_t port() const { return port_; }

  private:
    void serve() {
        zpoller_t* poller = zpoller_new(socket_, nullptr);
        while (!stop_) {
            if (!zpoller_wait(poller, 50)) continue;
            zmsg_t* message = zmsg_recv(socket_);
            zframe_t* packet = message ? zmsg_last(message) : nullptr;
            if (packet && zframe_size(packet) > 0 && zframe_data(packet)[0] == kAddress)
                zmsg_send(&message, socket_);
            zmsg_destroy(&message);
        }
        zpoller_destroy(&poller);
    }

    zsock_t* socket_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Each stage adds one piece of the served path; the differences say where its time goes.
size_t stages(const Simulator& sim, const Options& options) {
    std::printf("== stages of the served path, 1 client, median over %zu repetitions ==\n",
                options.reps);
    struct Stage {
        const char* name;
        std::function<Phase()> run;
    };
    auto once = [&](const Trip& trip) { return timePhase(1, options.pairs, sim.pid(), trip); };
    const std::vector<Stage> table = {
        {"direct link -> module",
         [&] {
             uint32_t id = directLink(sim);
             Phase p = once([&](size_t, uint32_t n) { return linkTrip(id, request(0, n)); });
             aLink_Destroy(&id);
             return p;
         }},
        {"DEALER -> echoing ROUTER",
         [&] {
             EchoRouter router;
             RawClient client(router.port());
             return once([&](size_t, uint32_t n) { return client.trip(request(0, n)); });
         }},
        {"client link -> echoing ROUTER",
         [&] {
             EchoRouter router;
             uint32_t id = aLink_CreateClient(htonl(INADDR_LOOPBACK), router.port(), 0);
             if (!id) throw Failure("no client link");
             Phase p = once([&](size_t, uint32_t n) { return linkTrip(id, request(0, n)); });
             aLink_Destroy(&id);
             return p;
         }},
        {"DEALER -> server -> module",
         [&] {
             Served path(sim);
             RawClient client(path.port());
             return once([&](size_t, uint32_t n) { return client.trip(request(0, n)); });
         }},
        {"client link -> server -> module",
         [&] {
             Served path(sim);
             uint32_t id = path.addClient();
             return once([&](size_t, uint32_t n) { return linkTrip(id, request(0, n)); });
         }},
    };
    std::printf("%-32s %9s %9s %13s %17s\n", "stage", "p50 us", "p99 us", "CPU us/req",
                "sim CPU us/req");
    size_t failures = 0;
    std::vector<Summary> summaries(table.size());
    for (size_t rep = 0; rep < options.reps; rep++)
        for (size_t i = 0; i < table.size(); i++)
            summaries[i].add(table[i].run());
    for (size_t i = 0; i < table.size(); i++) {
        const Summary& s = summaries[i];
        std::printf("%-32s %9.1f %9.1f %13.1f %17.1f\n", table[i].name, quantile(s.micros, 0.5),
                    quantile(s.micros, 0.99), quantile(s.cpu, 0.5), quantile(s.simCpu, 0.5));
        failures += s.failures;
    }
    if (failures) std::printf("FAILED round trips: %zu (wrong or missing echoes)\n", failures);
    std::printf("\n");
    return failures;
}

int usage() {
    std::fprintf(stderr, "usage: server_relay [--pairs N] [--reps R] [--clients 1,4] "
                         "[--stages on|off] [--tfsim PATH]\n");
    return 2;
}

// A positive whole number, all of the text.
bool count(const std::string& text, size_t& out) {
    char* end = nullptr;
    out = std::strtoul(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && out > 0;
}

bool clientCounts(const std::string& text, std::vector<size_t>& out) {
    out.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = std::min(text.find(',', start), text.size());
        size_t n = 0;
        if (!count(text.substr(start, comma - start), n) || n > 64) return false;
        out.push_back(n);
        start = comma + 1;
    }
    return true;
}

bool parseOptions(int argc, char** argv, Options& options) {
    const std::map<std::string, std::function<bool(const std::string&)>> known = {
        {"--pairs", [&](const std::string& v) { return count(v, options.pairs); }},
        {"--reps", [&](const std::string& v) { return count(v, options.reps); }},
        {"--clients", [&](const std::string& v) { return clientCounts(v, options.clients); }},
        {"--stages",
         [&](const std::string& v) {
             options.stages = v == "on";
             return v == "on" || v == "off";
         }},
        {"--tfsim",
         [&](const std::string& v) {
             tfsimProgram = v;
             return true;
         }},
    };
    if (argc % 2 != 1) return false;
    for (int i = 1; i < argc; i += 2) {
        auto option = known.find(argv[i]);
        if (option == known.end() || !option->second(argv[i + 1])) return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) return usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &action, nullptr);

    try {
        Simulator sim;
        size_t failures = 0;
        for (size_t clients : options.clients)
            failures += compare(sim, clients, options);
        if (options.stages) failures += stages(sim, options);
        return failures ? 1 : 0;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "server_relay: %s\n", failure.what());
        return 1;
    }
}
