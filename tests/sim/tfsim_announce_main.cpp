// tfsim_announce: a simulated packet server's loopback discovery answer, until it is killed.
//   tfsim_announce --serial S --port P [--type T] [--model M] [--address A]
// Prints "offset K" once it holds query port 9850+K.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "tfsim/LoopbackResponder.h"
#include "tfsim/RunUntilStopped.h"
#include "tfsim/ServerSpec.h"

int main(int argc, char** argv) {
    tfsim::ServerSpec spec;
    spec.model = 0x12;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        auto value = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 0));
        if (opt == "--serial")
            spec.serial = value;
        else if (opt == "--port")
            spec.port = static_cast<uint16_t>(value);
        else if (opt == "--type")
            spec.type = value;
        else if (opt == "--model")
            spec.model = value;
        else if (opt == "--address")
            spec.moduleAddress = value;
        else {
            std::fprintf(stderr, "usage: tfsim_announce --serial S --port P [--type T] "
                                 "[--model M] [--address A]\n");
            return 2;
        }
    }
    return tfsim::runUntilStopped("tfsim_announce", [&](auto wait) {
        tfsim::LoopbackResponder responder;
        responder.answer({spec.encode()});
        std::printf("offset %u\n", responder.offset());
        wait();
    });
}
