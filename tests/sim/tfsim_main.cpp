// tfsim: plays one module on a TCP port of 127.0.0.1 or on a pty until it is killed.
//   tfsim --tcp PORT [--address A] [--heartbeat MS] [--echo C] [system options]
//   tfsim --pty [--raw] [--address A] [--heartbeat MS] [--echo C] [system options]
// Prints "port N" once listening, so a script can start it with --tcp 0, or
// "pty /dev/pts/N" (COBS frames on the line; --raw: the plain byte stream).
// --echo C sends back every packet to the module whose first data byte is C.
// System options give the module a system entity and an I2C entity (--system alone: the
// default identity): --model M, --serial S, --name TEXT, --build B, --version WORD,
// --features F; --behind A (repeatable) puts a module at bus address A behind it, with a
// system entity of its own (serial number S + A) and a device at A on the I2C bus.
// --upgrade gives each of them a firmware-upgrade entity that takes byte-buffer pieces too.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include <memory>
#include <vector>

#include "tfsim/I2CEntity.h"
#include "tfsim/Module.h"
#include "tfsim/RunUntilStopped.h"
#include "tfsim/SystemEntity.h"
#include "tfsim/UpgradeEntity.h"

namespace {

void addUpgrade(tfsim::SystemEntity& system, tfsim::BusModule& at, tfsim::Module* link,
                bool rebootDrops) {
    auto upgrade = at.add(std::make_shared<tfsim::UpgradeEntity>());
    upgrade->setLink(link);
    upgrade->setRebootDrops(rebootDrops);
    system.setHasUei(tfsim::kUpgradeCommand, tfsim::upgrade::kDataOption, 0, 0x80, 0);
}

int usage() {
    std::fprintf(stderr,
                 "usage: tfsim (--tcp PORT | --pty [--raw]) [--address A] [--heartbeat MS] "
                 "[--echo C] [--system] [--model M] [--serial S] [--name TEXT] "
                 "[--build B] [--version WORD] [--features F] [--behind A]... [--upgrade]\n");
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
    bool system = false;
    bool upgrade = false;
    tfsim::Identity identity;
    std::vector<uint8_t> behind;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--pty") {
            pty = true;
            continue;
        }
        if (opt == "--system") {
            system = true;
            continue;
        }
        if (opt == "--upgrade") {
            upgrade = system = true;
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
        } else if (opt == "--name") {
            identity.name = arg;
            system = true;
        } else if (opt == "--model" && number(arg, 0xFF, value)) {
            identity.model = static_cast<uint8_t>(value);
            system = true;
        } else if (opt == "--serial" && number(arg, 0xFFFFFFFF, value)) {
            identity.serial = static_cast<uint32_t>(value);
            system = true;
        } else if (opt == "--build" && number(arg, 0xFFFFFFFF, value)) {
            identity.build = static_cast<uint32_t>(value);
            system = true;
        } else if (opt == "--version" && number(arg, 0xFFFFFFFF, value)) {
            identity.version = static_cast<uint32_t>(value);
            system = true;
        } else if (opt == "--features" && number(arg, 0xFFFFFFFF, value)) {
            identity.features = static_cast<uint32_t>(value);
            system = true;
        } else if (opt == "--behind" && number(arg, 0xFE, value) && value != 0 && value % 2 == 0) {
            behind.push_back(static_cast<uint8_t>(value));
            system = true;
        } else {
            return usage();
        }
    }
    if (tcp == pty || (tcp && ptyOptions.framing == tfsim::PtyEndpoint::Framing::Raw))
        return usage();

    return tfsim::runUntilStopped("tfsim", [&](auto wait) {
        tfsim::Module sim = pty ? tfsim::Module::serial(config, ptyOptions) : tfsim::Module(config);
        if (system) {
            identity.module = config.address;
            auto own = sim.add(std::make_shared<tfsim::SystemEntity>(identity));
            if (upgrade) addUpgrade(*own, sim.self(), pty ? nullptr : &sim, true);
            auto i2c = sim.add(std::make_shared<tfsim::I2CEntity>());
            for (uint8_t a : behind) {
                tfsim::Identity other = identity;
                other.module = a;
                other.router = config.address;
                other.serial = identity.serial + a;
                auto entity = sim.attach(a).add(std::make_shared<tfsim::SystemEntity>(other));
                entity->setResetAction(tfsim::Action::None); // the router's link stays up
                if (upgrade) addUpgrade(*entity, sim.at(a), nullptr, false);
                i2c->addDevice(a);
            }
        }
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
