// served_module: a simulated module shared by a local-only packet server, in a process of its
// own; or a client of such a server, to load it from another process.
//   served_module serve [--serial S] [--model M]
//     Prints "port N" once the server answers discovery; serves until its standard input
//     closes or SIGINT / SIGTERM, then tears down and exits 0.
//   served_module client --port P --tag T [--requests N] [--window W]
//     Prints "ready" once its client link runs, waits for a line on standard input, sends
//     the load (ServedLoad.h) and prints its tally; exits 0 when every reply came back right.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>

#include "ServedLoad.h"
#include "aServer_ZeroMQ.h"
#include "tfsim/Module.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: served_module serve [--serial S] [--model M]\n"
                         "       served_module client --port P --tag T [--requests N] "
                         "[--window W]\n");
    return 2;
}

int failed(const char* what) {
    std::fprintf(stderr, "served_module: %s\n", what);
    return 1;
}

// Blocks until standard input ends or a stop signal comes. The signals are blocked before
// any thread starts, so that none of them is interrupted by one.
class StopWatch {
  public:
    StopWatch() {
        sigemptyset(&stop_);
        sigaddset(&stop_, SIGINT);
        sigaddset(&stop_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop_, nullptr);
        fd_ = signalfd(-1, &stop_, SFD_CLOEXEC);
    }
    ~StopWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;

    void wait() const {
        pollfd fds[2] = {{0, POLLIN, 0}, {fd_, POLLIN, 0}};
        for (;;) {
            int ready = ::poll(fds, fd_ >= 0 ? 2 : 1, -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || fds[1].revents) return;
            if (fds[0].revents) {
                char chunk[256];
                if (::read(0, chunk, sizeof chunk) <= 0) return;
            }
        }
    }

  private:
    sigset_t stop_;
    int fd_ = -1;
};

int serve(uint32_t serial, uint8_t model) {
    using namespace std::chrono_literals;
    StopWatch stop;
    tfsim::Module sim({.address = servedload::MODULE});
    sim.onRequest(tfsim::match::prefix(servedload::MODULE, {servedload::ECHO}),
                  [](const tfsim::Packet& request) { return request.wire(); });
    uint32_t id = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), sim.port());
    if (!id) return failed("no link to the simulated module");
    int status = 0;
    aServer* server = aServer_Create(id, 0, true);
    uint16_t port = 0;
    if (!sim.waitForConnection(1, 5s)) {
        status = failed("the simulated module never took the connection");
    } else if (!server || aServer_Start(server) != aErrNone ||
               aServer_GetPort(server, &port) != aErrNone) {
        status = failed("the server did not start");
    } else {
        aServer_SetModuleAddress(server, servedload::MODULE);
        aServer_SetModel(server, model);
        std::printf("port %u\n", unsigned{port});
        std::fflush(stdout);
        stop.wait();
    }
    if (server) aServer_Destroy(&server);
    aLink_Destroy(&id);
    return status;
}

int client(uint16_t port, uint8_t tag, int requests, int window) {
    uint32_t id = aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
    if (!id) return failed("no client link");
    std::printf("ready\n");
    std::fflush(stdout);
    char line[16];
    int status = 1;
    if (std::fgets(line, sizeof line, stdin)) {
        servedload::Tally tally = servedload::run(id, tag, requests, window);
        servedload::print(stdout, tally);
        std::fflush(stdout);
        status = tally.clean(requests) ? 0 : 3;
    }
    aLink_Destroy(&id);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    std::map<std::string, unsigned long> options = {
        {"--serial", 0x5E4D0001}, {"--model", 0x13}, {"--port", 0}, {"--tag", 1},
        {"--requests", 1000},     {"--window", 8}};
    for (int i = 2; i < argc; i += 2) {
        auto known = options.find(argv[i]);
        char* end = nullptr;
        if (known == options.end() || i + 1 >= argc) return usage();
        known->second = std::strtoul(argv[i + 1], &end, 0);
        if (*end != '\0') return usage();
    }
    try {
        if (mode == "serve")
            return serve(static_cast<uint32_t>(options["--serial"]),
                         static_cast<uint8_t>(options["--model"]));
        if (mode == "client" && options["--port"] > 0 && options["--port"] <= 0xFFFF)
            return client(
                static_cast<uint16_t>(options["--port"]), static_cast<uint8_t>(options["--tag"]),
                static_cast<int>(options["--requests"]), static_cast<int>(options["--window"]));
    } catch (const std::exception& e) {
        return failed(e.what());
    }
    return usage();
}
