// tfsim: plays one module on a TCP port of 127.0.0.1 or on a pty until it is killed.
//   tfsim --tcp PORT [--address A] [--heartbeat MS] [--echo C]
//   tfsim --pty [--raw] [--address A] [--heartbeat MS] [--echo C]
// Prints "port N" once listening, so a script can start it with --tcp 0, or
// "pty /dev/pts/N" (COBS frames on the line; --raw: the plain byte stream).
// --echo C sends back every packet to the module whose first data byte is C.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "tfsim/Module.h"
#include "tfsim/RunUntilStopped.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: tfsim (--tcp PORT | --pty [--raw]) [--address A] [--heartbeat MS] "
                         "[--echo C]\n");
    return 2;
}

bool number(const char* text, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && out <= max;
}

} // namespace

int main(int argc, char** argv) {
    tfsim::Config config;
    bool tcp = false, pty = false;
    tfsim::PtyEndpoint::Options ptyOptions;
    std::optional<uint8_t> echo;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--pty") {
            pty = true;
            continue;
        }
        if (opt == "--raw") {
            ptyOptions.framing = tfsim::PtyEndpoint::Framing::Raw;
            continue;
        }
        if (i + 1 >= argc) return usage();
        unsigned long value = 0;
        const char* arg = argv[++i];
        if (opt == "--tcp" && number(arg, 0xFFFF, value)) {
            config.port = static_cast<uint16_t>(value);
            tcp = true;
        } else if (opt == "--address" && number(arg, 0xFF, value)) {
            config.address = static_cast<uint8_t>(value);
        } else if (opt == "--heartbeat" && number(arg, 3'600'000, value)) {
            config.heartbeatPeriod = std::chrono::milliseconds(value);
        } else if (opt == "--echo" && number(arg, 0xFF, value)) {
            echo = static_cast<uint8_t>(value);
        } else {
            return usage();
        }
    }
    if (tcp == pty || (tcp && ptyOptions.framing == tfsim::PtyEndpoint::Framing::Raw))
        return usage();

    return tfsim::runUntilStopped("tfsim", [&](auto wait) {
        tfsim::Module sim = pty ? tfsim::Module::serial(config, ptyOptions) : tfsim::Module(config);
        if (echo)
            sim.onRequest(tfsim::match::prefix(config.address, {*echo}),
                          [](const tfsim::Packet& request) { return request.wire(); });
        if (pty)
            std::printf("pty %s\n", sim.slavePath().c_str());
        else
            std::printf("port %u\n", unsigned{sim.port()});
        wait();
    });
}
