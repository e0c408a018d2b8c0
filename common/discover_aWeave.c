/* Network-module discovery: finds the modules that packet servers publish, by asking each
 * loopback multicast port that a server holds, or by a czmq UDP beacon on a real interface. */
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <stdbool.h>
#include <stdint.h>
#include <string.h>

#include "aDebugging.h"
#include "aMulticast.h"
#include "aTime.h"
#include "discover.h"
#include "zBeaconInterface.h"

#define sMAX_INTERFACES 50
#define sMULTICAST_GROUP 0xE0000007u /* 224.0.0.7, host order */
#define sQUERY_PORT 9850
#define sANSWER_PORT 9950
#define sPORT_COUNT 50
#define sMAGIC 0xABCDDCBAu
/* How long a taken port is given to answer; later datagrams there are not waited for. */
#define sANSWER_WINDOW_MS 1000u
#define sBEACON_PORT 8585
#define sBEACON_INTERVAL_MS 100
#define sBEACON_ATTEMPTS 22
#define DISCOVERY_BEACON_FILTER "Tessaform2-Discovery"
#define sBEACON_FILTER_LENGTH 20

static bool _isNewSpec(zlist_t* list, const linkSpec* spec) {
    for (linkSpec* seen = (linkSpec*)zlist_first(list); seen != NULL;
         seen = (linkSpec*)zlist_next(list)) {
        if (seen->serialNumber == spec->serialNumber &&
            seen->t.ip.ipAddress == spec->t.ip.ipAddress &&
            seen->t.ip.ipPort == spec->t.ip.ipPort && seen->type == spec->type)
            return false;
    }
    return true;
}

static void sDestroySeen(zlist_t** list) {
    if (*list == NULL) return;
    for (linkSpec* seen = (linkSpec*)zlist_first(*list); seen != NULL;
         seen = (linkSpec*)zlist_next(*list))
        aLinkSpec_Destroy(&seen);
    zlist_destroy(list);
}

/* Only a server's own kinds: a peer on the network must not be able to hand the caller a
 * serial port or a USB device to open. */
static bool sIsServerType(linkType type) {
    return type == AWEAVE_USB || type == AWEAVE_TCPIP || type == AWEAVE_SERIAL;
}

/* Remembers a new answer and hands it to the callback; the callback's wish to go on. */
static bool sOffer(zlist_t* seen, const linkSpec* spec, aDiscoveryCallback callback, void* ref,
                   uint8_t* count) {
    linkSpec* copy = aLinkSpec_Copy(*spec);
    if (copy == NULL) return true;
    if (zlist_append(seen, copy) != 0) {
        aLinkSpec_Destroy(&copy);
        return true;
    }
    bool accepted = false;
    bool more = callback(spec, &accepted, ref);
    if (accepted && *count < UINT8_MAX) (*count)++;
    return more;
}

/* The datagrams at one taken port until a usable answer or the window's end. Returns the
 * callback's wish to go on. */
static bool sCollectAnswer(aMulticast* receiver, zlist_t* seen, linkSpec* buffer,
                           aDiscoveryCallback callback, void* ref, uint8_t* count) {
    uint64_t start = aTime_GetMonotonicMSTicks();
    while (aTime_GetMonotonicMSTicks() - start < sANSWER_WINDOW_MS) {
        memset(buffer, 0, sizeof(*buffer));
        long received = aMulticast_Receive(receiver, buffer, (int)sizeof(*buffer));
        if (received == -1) return true; /* the port's server stayed silent */
        if (received != (long)sizeof(*buffer)) {
            aDebug_Trace(aDEBUG_DISCOVERY, "Unknown Error sending request message: %d\n",
                         (int)received);
            continue;
        }
        if (!sIsServerType(buffer->type)) continue;
        if (buffer->t.ip.ipAddress != htonl(INADDR_LOOPBACK)) {
            aDebug_Trace(aDEBUG_DISCOVERY, "We are in local mode, ignoring(2)");
            continue;
        }
        /* One server per port: a copy that another search asked for ends the wait too. */
        if (!_isNewSpec(seen, buffer)) return true;
        aDebug_Trace(aDEBUG_DISCOVERY,
                     "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: "
                     "%d\n",
                     buffer->serialNumber, (int)buffer->t.ip.ipPort, (int)buffer->moduleAddress,
                     (int)buffer->type);
        return sOffer(seen, buffer, callback, ref, count);
    }
    return true;
}

static uint8_t _findLinkSpecs_multicast(aDiscoveryCallback callback, void* ref) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    const uint32_t group = htonl(sMULTICAST_GROUP);
    uint8_t count = 0;
    zlist_t* seen = zlist_new();
    linkSpec* buffer = aLinkSpec_Create(AWEAVE);
    bool more = seen != NULL && buffer != NULL;
    for (uint16_t k = 0; k < sPORT_COUNT && more; k++) {
        /* A server holds its query port alone, so a port that can be bound has none. */
        aMulticast* probe = aMulticast_Create(loopback, group, (uint16_t)(sQUERY_PORT + k), false);
        if (probe != NULL) {
            aMulticast_Destroy(&probe);
            continue;
        }
        /* Shared: another search asking the same server at the same time gets the answers
         * too, and both are served. */
        aMulticast* receiver =
            aMulticast_CreateSharedReceiver(loopback, group, (uint16_t)(sANSWER_PORT + k));
        aMulticast* sender = aMulticast_Create(loopback, group, (uint16_t)(sQUERY_PORT + k), true);
        if (receiver != NULL && sender != NULL) {
            const uint8_t magic[4] = {(uint8_t)sMAGIC, (uint8_t)(sMAGIC >> 8),
                                      (uint8_t)(sMAGIC >> 16), (uint8_t)(sMAGIC >> 24)};
            if (aMulticast_Send(sender, magic, sizeof(magic)) == (long)sizeof(magic))
                more = sCollectAnswer(receiver, seen, buffer, callback, ref, &count);
        }
        aMulticast_Destroy(&sender);
        aMulticast_Destroy(&receiver);
    }
    sDestroySeen(&seen);
    aLinkSpec_Destroy(&buffer);
    return count;
}

static uint8_t _findLinkSpecs_beacon(aDiscoveryCallback callback, void* ref) {
    zactor_t* beacon = zactor_new(zbeacon, NULL);
    if (beacon == NULL) return 0;
    uint8_t count = 0;
    zsock_send(beacon, "si", "CONFIGURE", sBEACON_PORT);
    char* hostname = zstr_recv(beacon);
    aDebug_Trace(aDEBUG_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
                 hostname != NULL ? hostname : "", sBEACON_PORT);
    /* czmq answers an empty text when the interface is not one of its broadcast interfaces. */
    if (hostname != NULL && hostname[0] != '\0') {
        zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, (size_t)sBEACON_FILTER_LENGTH,
                   sBEACON_INTERVAL_MS);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", (size_t)0);
        zlist_t* seen = zlist_new();
        zsock_set_rcvtimeo(beacon, sBEACON_INTERVAL_MS);
        bool more = seen != NULL;
        int attempt = 0;
        for (; attempt < sBEACON_ATTEMPTS && more; attempt++) {
            char* address = zstr_recv(beacon);
            if (address == NULL) continue;
            zframe_t* content = zframe_recv(beacon);
            if (content != NULL && zframe_size(content) == sizeof(linkSpec)) {
                linkSpec spec;
                memcpy(&spec, zframe_data(content), sizeof(spec));
                if (sIsServerType(spec.type) && _isNewSpec(seen, &spec)) {
                    aDebug_Trace(aDEBUG_DISCOVERY,
                                 "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - "
                                 "Type: %d - Model: %d\n",
                                 spec.serialNumber, (int)spec.t.ip.ipPort, (int)spec.moduleAddress,
                                 (int)spec.type, (int)spec.model);
                    more = sOffer(seen, &spec, callback, ref, &count);
                }
            }
            zframe_destroy(&content);
            zstr_free(&address);
        }
        if (attempt == sBEACON_ATTEMPTS) aDebug_Trace(aDEBUG_DISCOVERY, "Done with discovery");
        sDestroySeen(&seen);
        zstr_sendx(beacon, "SILENCE", NULL);
        zstr_sendx(beacon, "UNSUBSCRIBE", NULL);
    }
    zactor_destroy(&beacon);
    zstr_free(&hostname);
    return count;
}

static uint8_t _findLinkSpecs_beaconHelper(const char* interfaceText, aDiscoveryCallback callback,
                                           void* ref) {
    /* Without the lock another thread may move czmq's interface under the beacon. */
    if (!zBeaconInterface_backupSetAndLock(interfaceText)) return 0;
    uint8_t count = _findLinkSpecs_beacon(callback, ref);
    zBeaconInterface_restoreAndUnlock();
    return count;
}

uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* ref,
                                           uint32_t networkInterface) {
    if (callback == NULL) return 0;
    bool local = networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
    uint32_t interfaces[sMAX_INTERFACES];
    int found = aDiscovery_GetIPv4Interfaces(interfaces, sMAX_INTERFACES);
    aDebug_Trace(aDEBUG_DISCOVERY, "aDiscovery_Enumerate_aWeaveModules found count: %d\n", found);
    if (local || found == 0) return _findLinkSpecs_multicast(callback, ref);
    char text[16];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, (int)sizeof(text)) == 0) return 0;
    aDebug_Trace(aDEBUG_DISCOVERY, "New Interface: %s\n", text);
    return _findLinkSpecs_beaconHelper(text, callback, ref);
}
