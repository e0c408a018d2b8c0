// The test network namespace (scripts/netns): loopback and the veth pair tf0 10.77.0.1 /
// tf1 10.77.0.2. Tests that send or list interfaces skip anywhere else, so that nothing is
// ever multicast on a real interface.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>

#include <cstdint>
#include <set>
#include <string>

namespace disctest {

inline bool insideTestNamespace() {
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) return false;
    std::set<std::string> found;
    for (struct if_nameindex* n = names; n->if_index != 0; n++)
        found.insert(n->if_name);
    if_freenameindex(names);
    return found == std::set<std::string>{"lo", "tf0", "tf1"};
}

inline uint32_t ipv4(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

} // namespace disctest

#define REQUIRE_TEST_NAMESPACE()                                                                   \
    if (!disctest::insideTestNamespace())                                                          \
    GTEST_SKIP() << "runs only inside scripts/netns (lo, tf0, tf1)"
