/* Link specifiers, the 128-byte description of one way to reach one module, and module
 * discovery over USB and TCP/IP. A linkSpec is also a wire format (network discovery sends
 * it as it lies in memory): integers little-endian, ipAddress in network byte order. */
#ifndef TESSAFORM_DISCOVER_H
#define TESSAFORM_DISCOVER_H

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t linkType;

enum {
    USB = 1,
    TCPIP = 2,
    SERIAL = 3, /* never discovered */
    AWEAVE = 4, /* 4 to 7: reached through a packet server */
    AWEAVE_USB = 5,
    AWEAVE_TCPIP = 6,
    AWEAVE_SERIAL = 7,
};

/* Every byte that the fields of the record's type do not use is zero. */
typedef struct linkSpec {
    linkType type;
    uint32_t serialNumber;       /* 0: unknown */
    uint32_t moduleAddress;      /* even and non-zero; 0: unknown */
    uint32_t routerAddress;      /* 0: none */
    uint32_t routerSerialNumber; /* 0: none */
    uint32_t model;              /* 8-bit value; 0: unknown, or any in a search */
    union {
        struct {
            uint32_t usbId; /* equal to serialNumber */
        } usb;
        struct {                /* TCPIP and the packet-server kinds */
            uint32_t ipAddress; /* network byte order */
            uint32_t ipPort;    /* a 16-bit port; readers use the low 16 bits */
        } ip;
        struct {
            uint32_t baudRate;
            char portName[100]; /* NUL-terminated */
        } serial;
        uint8_t bytes[104];
    } t;
} linkSpec;

/* Called once per module found. `spec` is valid only during the call. `accepted` is false on
 * entry; set it to take the module. Return true to go on, false to stop. */
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* accepted, void* ref);

/* Heap records owned by the caller; NULL when memory runs out. */
linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(linkSpec spec);
/* aErrParam, doing nothing, when the handle holds NULL; clears the handle. */
aErr aLinkSpec_Destroy(linkSpec** handle);

/* Hands every module reachable over `type` to `callback` and returns how many it accepted
 * (at most 255). `networkInterface` (IPv4, network byte order) names the interface of a
 * network search; 0 and 127.0.0.1 mean every interface to the TCP/IP search and the local
 * host to the packet-server search. USB ignores it; serial modules are never found. The
 * TCP/IP search lasts until no answer came for 2 s. */
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref,
                                    uint32_t networkInterface);
/* Modules published by packet servers (types 4 to 7). */
uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* ref,
                                           uint32_t networkInterface);

/* The found module's record whole, or NULL; release it with aLinkSpec_Destroy. */
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
/* The first module that reports a serial number other than 0. */
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

/* The searches' callbacks; `ref` is the linkSpec that receives the module. */
bool cbSNCallback(const linkSpec* found, bool* accepted, void* ref);
bool cbFirstCallback(const linkSpec* found, bool* accepted, void* ref);

/* Up to `capacity` IPv4 addresses (network byte order) of the host's interfaces as czmq's
 * interface list yields them (up, broadcast-capable, not loopback); the number stored. */
int aDiscovery_GetIPv4Interfaces(uint32_t* addresses, int capacity);
/* Dotted text of `address` (network byte order); the text's length, or 0 without touching
 * the buffer when it is 15 bytes or shorter (it must hold every address and the NUL). */
long aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, int length);

#ifdef __cplusplus
}
#endif

#endif
