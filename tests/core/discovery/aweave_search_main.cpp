// aweave_search: one loopback search for packet servers in a process of its own. Prints
// "ready", waits for a line on standard input, searches, then prints each serial found
// ("serial 0x...") and "done".
#include <cstdint>
#include <cstdio>

#include "discover.h"

namespace {

bool print(const linkSpec* spec, bool* accepted, void*) {
    std::printf("serial 0x%08X\n", static_cast<unsigned>(spec->serialNumber));
    *accepted = true;
    return true;
}

} // namespace

int main() {
    std::printf("ready\n");
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;
    aDiscovery_EnumerateModules(AWEAVE, print, nullptr, 0);
    std::printf("done\n");
    return 0;
}
