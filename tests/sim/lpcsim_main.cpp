// lpcsim: a simulated LPC boot ROM on a pty for manual runs of the recovery commands. Prints
// the serial port to open, then plays the chip until its standard input ends.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "lpcsim/LpcPty.h"

int main(int argc, char** argv) {
    lpcsim::Faults faults;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--synced") {
            faults.alreadySynced = true;
        } else if (arg == "--silent") {
            faults.silent = true;
        } else if (arg == "--erase-ms" && i + 1 < argc) {
            faults.eraseMsPerSector = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
        } else {
            std::fprintf(stderr, "usage: lpcsim [--synced] [--silent] [--erase-ms N]\n");
            return 1;
        }
    }
    lpcsim::LpcPty sim(faults);
    std::printf("%s\n", sim.slavePath().c_str());
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
    }
    sim.withChip([](lpcsim::Chip& chip) {
        std::fprintf(stderr, "lpcsim: %zu commands, running: %s\n", chip.commands().size(),
                     chip.running() ? "yes" : "no");
    });
    return 0;
}
