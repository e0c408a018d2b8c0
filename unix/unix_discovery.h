/* The platform's module searches behind aDiscovery_EnumerateModules. */
#ifndef TESSAFORM_UNIX_DISCOVERY_H
#define TESSAFORM_UNIX_DISCOVERY_H

#include "discover.h"

#ifdef __cplusplus
extern "C" {
#endif

uint8_t _aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref);
uint8_t _aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* ref,
                                   uint32_t networkInterface);

#ifdef __cplusplus
}
#endif

#endif
