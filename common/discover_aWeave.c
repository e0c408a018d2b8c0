/* Network-module discovery: modules published by packet servers. */
#include "discover.h"

/* Packet servers are not discoverable yet: no server answers, so nothing is found. */
uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* ref,
                                           uint32_t networkInterface) {
    (void)callback;
    (void)ref;
    (void)networkInterface;
    return 0;
}
