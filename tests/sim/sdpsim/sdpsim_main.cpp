// The i.MX boot ROM in a process of its own, for tests that run the updater as a child:
//   sdpsim --hid <socket path> | --pty  [--jump-file <path>] [--cfg0 <hex>] [--cfg1 <hex>]
// prints where the host connects ("hid <path>" or "pty <slave path>") and runs until its
// standard input closes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "BootRom.h"
#include "HidEndpoint.h"
#include "SerialEndpoint.h"

int main(int argc, char** argv) {
    sdpsim::RomConfig config;
    std::string hidPath;
    bool pty = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == "--pty") {
            pty = true;
        } else if (value && option == "--hid") {
            hidPath = value, ++i;
        } else if (value && option == "--jump-file") {
            config.jumpFile = value, ++i;
        } else if (value && option == "--cfg0") {
            config.cfg0 = static_cast<uint32_t>(strtoul(value, nullptr, 16)), ++i;
        } else if (value && option == "--cfg1") {
            config.cfg1 = static_cast<uint32_t>(strtoul(value, nullptr, 16)), ++i;
        } else {
            fprintf(stderr, "usage: sdpsim --hid <socket> | --pty [--jump-file <path>] "
                            "[--cfg0 <hex>] [--cfg1 <hex>]\n");
            return 1;
        }
    }
    if (pty == !hidPath.empty()) {
        fprintf(stderr, "sdpsim: give one of --hid and --pty\n");
        return 1;
    }
    sdpsim::BootRom rom(config);
    std::unique_ptr<sdpsim::HidEndpoint> hid;
    std::unique_ptr<sdpsim::SerialEndpoint> serial;
    if (pty) {
        serial = std::make_unique<sdpsim::SerialEndpoint>(rom);
        printf("pty %s\n", serial->slavePath().c_str());
    } else {
        hid = std::make_unique<sdpsim::HidEndpoint>(rom, hidPath);
        printf("hid %s\n", hid->path().c_str());
    }
    fflush(stdout);
    char discard[256];
    while (read(STDIN_FILENO, discard, sizeof discard) > 0) {
    }
    return 0;
}
