/* The module searches behind aDiscovery_EnumerateModules that the platform layer implements. */
#ifndef TESSAFORM_DISCOVER_PLATFORM_H
#define TESSAFORM_DISCOVER_PLATFORM_H

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
