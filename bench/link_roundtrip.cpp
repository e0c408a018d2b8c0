// Round trips through a link against the simulated module over loopback TCP, next to raw
// socket round trips of the same bytes; then the CPU an idle running link costs.
//   link_roundtrip [pairs=100000] [idle seconds=5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "aLink.h"
#include "tfsim/Module.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t ADDRESS = 0x06;
constexpr uint8_t ECHO = 0x17;

double medianMicros(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(samples.size() / 2),
                     samples.end());
    return samples[samples.size() / 2];
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<uint8_t> request(uint32_t sequence) {
    std::vector<uint8_t> data(28, 0);
    data[0] = ECHO;
    for (size_t i = 0; i < 4; i++)
        data[1 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    return data;
}

// Raw: the same 30 wire bytes written on a plain socket and the echo read back whole.
std::vector<double> rawRoundTrips(uint16_t port, size_t pairs) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        perror("connect");
        exit(1);
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    std::vector<double> samples;
    samples.reserve(pairs);
    for (uint32_t i = 0; i < pairs; i++) {
        std::vector<uint8_t> wire = {ADDRESS, 28};
        auto data = request(i);
        wire.insert(wire.end(), data.begin(), data.end());
        auto start = Clock::now();
        if (send(fd, wire.data(), wire.size(), 0) != static_cast<ssize_t>(wire.size())) exit(1);
        size_t got = 0;
        uint8_t answer[64];
        while (got < wire.size()) {
            ssize_t n = recv(fd, answer + got, sizeof(answer) - got, 0);
            if (n <= 0) exit(1);
            got += static_cast<size_t>(n);
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    close(fd);
    return samples;
}

bool isEcho(const aPacket* packet, const void*) {
    return packet->length == 28 && packet->data[0] == ECHO;
}

} // namespace

int main(int argc, char** argv) {
    size_t pairs = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    double idleSeconds = argc > 2 ? std::strtod(argv[2], nullptr) : 5.0;

    tfsim::Module sim({.address = ADDRESS, .receiveBuffer = 0, .maxRecorded = 1000});
    sim.onRequest(tfsim::match::prefix(ADDRESS, {ECHO}), [](const tfsim::Packet& p) {
        return tfsim::Packet{p.address, p.data}.wire();
    });

    std::vector<double> raw = rawRoundTrips(sim.port(), pairs);

    uint32_t id = aLink_CreateTCPIP(0xBE000001, htonl(INADDR_LOOPBACK), sim.port());
    if (!id) {
        fprintf(stderr, "link not created\n");
        return 1;
    }
    std::vector<double> link;
    link.reserve(pairs);
    size_t lost = 0, reordered = 0;
    for (uint32_t i = 0; i < pairs; i++) {
        auto data = request(i);
        aPacket* packet = aPacket_CreateWithData(ADDRESS, 28, data.data());
        auto start = Clock::now();
        aLink_PutPacket(id, packet);
        aPacket_Destroy(&packet);
        aPacket* reply = aLink_AwaitFirst(id, isEcho, nullptr, 1000);
        auto elapsed = Clock::now() - start;
        if (!reply) {
            lost++;
            continue;
        }
        uint32_t sequence = 0;
        for (unsigned b = 0; b < 4; b++)
            sequence |= static_cast<uint32_t>(reply->data[1 + b]) << (8 * b);
        if (sequence != i) reordered++;
        aPacket_Destroy(&reply);
        link.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }

    double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    double idleCpu = idleSeconds > 0 ? (cpuSeconds() - before) / idleSeconds * 100.0 : 0.0;
    aLink_Destroy(&id);

    double linkMedian = medianMicros(link), rawMedian = medianMicros(raw);
    printf("pairs: %zu (lost %zu, reordered %zu)\n", pairs, lost, reordered);
    printf("link round trip median: %.1f us\n", linkMedian);
    printf("raw socket round trip median: %.1f us\n", rawMedian);
    printf("ratio link/raw: %.2f\n", rawMedian > 0 ? linkMedian / rawMedian : 0.0);
    printf("idle running link CPU: %.2f%% of a core over %.1f s\n", idleCpu, idleSeconds);
    return lost || reordered ? 1 : 0;
}
