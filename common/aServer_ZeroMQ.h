/* The ZeroMQ packet server: shares one device link with any number of DEALER clients over a
 * ROUTER endpoint, one request at a time, each reply routed to the client that asked. */
#ifndef TESSAFORM_ASERVER_ZEROMQ_H
#define TESSAFORM_ASERVER_ZEROMQ_H

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aServer aServer;

/* A server record for the device link `linkId` (USB, TCP/IP or serial); nothing runs until
 * aServer_Start. NULL for an unknown id or another link type. `interfaceAddress` is IPv4 in
 * network order, 0 for 127.0.0.1. */
aServer* aServer_Create(uint32_t linkId, uint32_t interfaceAddress, bool localOnly);
/* aErrResource when a socket, bind, actor or the packet filter could not be set up; the
 * record must still be destroyed. A record starts once: aErrBusy after that. */
aErr aServer_Start(aServer* server);
/* Stops whatever runs, frees the record and clears the handle. */
aErr aServer_Destroy(aServer** server);
aErr aServer_GetPort(aServer* server, uint16_t* port);
aErr aServer_GetInterface(aServer* server, uint32_t* interfaceAddress);
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);
/* The broker forgets every client waiting for a reply; their late replies are dropped. */
aErr aServer_FlushFIFO(aServer* server);

#ifdef __cplusplus
}
#endif

#endif
