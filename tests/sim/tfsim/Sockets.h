// Small socket helpers that the simulator's network responders share.
#pragma once

#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>

namespace tfsim {

// `address` in network byte order.
inline sockaddr_in ipv4(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return a;
}

inline void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace tfsim
