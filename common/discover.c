/* Link specifiers and the dispatch of module discovery; the searches themselves are
 * platform code (unix_discovery), the packet-server search is network-module discovery. */
#include "discover.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "aDebugging.h"
#include "discover_platform.h"

/* The record is a wire format: its layout may never move. */
_Static_assert(sizeof(linkSpec) == 128, "linkSpec is 128 bytes");
_Static_assert(offsetof(linkSpec, type) == 0, "type at 0");
_Static_assert(offsetof(linkSpec, serialNumber) == 4, "serialNumber at 4");
_Static_assert(offsetof(linkSpec, moduleAddress) == 8, "moduleAddress at 8");
_Static_assert(offsetof(linkSpec, routerAddress) == 12, "routerAddress at 12");
_Static_assert(offsetof(linkSpec, routerSerialNumber) == 16, "routerSerialNumber at 16");
_Static_assert(offsetof(linkSpec, model) == 20, "model at 20");
_Static_assert(offsetof(linkSpec, t.usb.usbId) == 24, "usbId at 24");
_Static_assert(offsetof(linkSpec, t.ip.ipAddress) == 24, "ipAddress at 24");
_Static_assert(offsetof(linkSpec, t.ip.ipPort) == 28, "ipPort at 28");
_Static_assert(offsetof(linkSpec, t.serial.baudRate) == 24, "baudRate at 24");
_Static_assert(offsetof(linkSpec, t.serial.portName) == 28, "portName at 28");

linkSpec* aLinkSpec_Create(linkType type) {
    linkSpec* spec = (linkSpec*)calloc(1, sizeof(linkSpec));
    if (spec != NULL) spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
    linkSpec* copy = (linkSpec*)malloc(sizeof(linkSpec));
    if (copy != NULL) memcpy(copy, &spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** handle) {
    if (handle == NULL || *handle == NULL) return aErrParam;
    free(*handle);
    *handle = NULL;
    return aErrNone;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref,
                                    uint32_t networkInterface) {
    if (callback == NULL) return 0;
    switch (type) {
    case USB:
        return _aDiscovery_EnumerateUSB(callback, ref);
    case TCPIP:
        return _aDiscovery_EnumerateTCPIP(callback, ref, networkInterface);
    case AWEAVE:
    case AWEAVE_USB:
    case AWEAVE_TCPIP:
    case AWEAVE_SERIAL:
        return aDiscovery_Enumerate_aWeaveModules(callback, ref, networkInterface);
    default:
        return 0;
    }
}

bool cbSNCallback(const linkSpec* found, bool* accepted, void* ref) {
    linkSpec* wanted = (linkSpec*)ref;
    if (found == NULL || wanted == NULL || found->serialNumber != wanted->serialNumber) return true;
    memcpy(wanted, found, sizeof(linkSpec));
    *accepted = true;
    return false;
}

bool cbFirstCallback(const linkSpec* found, bool* accepted, void* ref) {
    linkSpec* first = (linkSpec*)ref;
    if (found == NULL || first == NULL || found->serialNumber == 0) return true;
    memcpy(first, found, sizeof(linkSpec));
    *accepted = true;
    return false;
}

static linkSpec* sFind(linkSpec* spec, aDiscoveryCallback callback, uint32_t networkInterface) {
    if (spec == NULL) return NULL;
    if (aDiscovery_EnumerateModules(spec->type, callback, spec, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    linkSpec* spec = aLinkSpec_Create(type);
    if (spec != NULL) spec->serialNumber = serialNumber;
    return sFind(spec, cbSNCallback, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(aLinkSpec_Create(type), cbFirstCallback, networkInterface);
}

int aDiscovery_GetIPv4Interfaces(uint32_t* addresses, int capacity) {
    if (addresses == NULL || capacity <= 0) return 0;
    ziflist_t* interfaces = ziflist_new();
    if (interfaces == NULL) return 0;
    int count = 0;
    for (const char* name = ziflist_first(interfaces); name != NULL && count < capacity;
         name = ziflist_next(interfaces)) {
        const char* text = ziflist_address(interfaces);
        if (text == NULL) break;
        struct in_addr address;
        if (inet_pton(AF_INET, text, &address) != 1) continue;
        aDebug_Trace(aDEBUG_DISCOVERY, "Interface Found: %d\n", (int)address.s_addr);
        addresses[count++] = address.s_addr;
    }
    ziflist_destroy(&interfaces);
    aDebug_Trace(aDEBUG_DISCOVERY, "aDiscovery_GetIPv4Interfaces count: %d\n", count);
    return count;
}

long aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, int length) {
    if (buffer == NULL || length <= 15) return 0;
    memset(buffer, 0, (size_t)length);
    struct in_addr in;
    in.s_addr = address;
    if (inet_ntop(AF_INET, &in, buffer, (socklen_t)length) == NULL) return 0;
    return (long)strlen(buffer);
}
