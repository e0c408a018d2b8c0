/* Module searches on Linux: the USB bus through the shared libusb context, and the TCP/IP
 * query, a multicast datagram answered by every module on the network. */
#include "discover_platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "Tessaform-C.h"

#define aTCPIP_QUERY_GROUP 0xE8020202u /* 232.2.2.2 */
#define aTCPIP_QUERY_PORT 9888
#define aTCPIP_ANSWER_PORT 9889
#define aTCPIP_DATAGRAM 16
#define aTCPIP_MIN_ANSWER 8 /* address, port and serial number */
#define aTCPIP_QUIET_S 2
/* The count is 8 bits, and a peer that never stops answering must not hold the search. */
#define aMAX_ANSWERS 255

/* The USB transport opens a module by the "%08X" text of its serial number, so only a
 * string that this text reproduces names a module that can be reached. */
static bool sParseSerial(const unsigned char* text, int length, uint32_t* serial) {
    if (length != 8) return false;
    uint32_t value = 0;
    for (int i = 0; i < 8; i++) {
        unsigned char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = (uint32_t)(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = (uint32_t)(c - 'A' + 10);
        else
            return false;
        value = (value << 4) | digit;
    }
    *serial = value;
    return true;
}

static void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serial,
                               const struct libusb_device_descriptor* descriptor) {
    spec->type = USB;
    spec->serialNumber = serial;
    spec->moduleAddress = 0;
    spec->routerAddress = 0;
    spec->routerSerialNumber = 0;
    spec->model = descriptor->idProduct & 0xFFu;
    spec->t.usb.usbId = serial;
}

uint8_t _aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref) {
    libusb_context* context = Tessaform_libusb_context();
    if (context == NULL) return 0;
    libusb_device** devices = NULL;
    ssize_t n = libusb_get_device_list(context, &devices);
    if (n < 0) return 0;

    uint8_t count = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < n && goOn && count < aMAX_ANSWERS; i++) {
        libusb_device* device = devices[i];
        if (!is_tessaform_device(device)) continue;
        libusb_device_handle* handle = NULL;
        if (libusb_open(device, &handle) != 0) continue;
        struct libusb_device_descriptor descriptor;
        unsigned char text[32];
        uint32_t serial = 0;
        linkSpec* spec = NULL;
        if (libusb_get_device_descriptor(device, &descriptor) == 0 &&
            descriptor.iSerialNumber != 0 &&
            sParseSerial(text,
                         libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                            (int)sizeof(text)),
                         &serial) &&
            (spec = aLinkSpec_Create(USB)) != NULL) {
            sCopyToUSBLinkspec(spec, serial, &descriptor);
            bool accepted = false;
            goOn = callback(spec, &accepted, ref);
            if (accepted) count++;
            aLinkSpec_Destroy(&spec);
        }
        libusb_close(handle);
    }
    libusb_free_device_list(devices, 1);
    return count;
}

/* Host byte order; 0 for NULL or another family. */
static uint32_t SockAddrToUint32(const struct sockaddr* address) {
    if (address == NULL || address->sa_family != AF_INET) return 0;
    return ntohl(((const struct sockaddr_in*)(const void*)address)->sin_addr.s_addr);
}

static bool sTCPIPCleanup(int socketFd) {
    return close(socketFd) == 0;
}

/* `iface` in host byte order, 0 for any. -1 when the socket cannot be had. */
static int sTCPIPSetupListener(uint32_t iface) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(iface);
    local.sin_port = htons(aTCPIP_ANSWER_PORT);
    struct timeval quiet = {.tv_sec = aTCPIP_QUIET_S, .tv_usec = 0};
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, (const struct sockaddr*)&local, sizeof(local)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof(quiet)) != 0) {
        sTCPIPCleanup(fd);
        return -1;
    }
    return fd;
}

/* One query through the interface with address `iface` (host byte order, 0: the system's
 * choice). TTL and loop-back stay at the system's defaults. */
static bool sTCPIPMultiCast(uint32_t iface) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    struct in_addr out;
    out.s_addr = htonl(iface);
    struct sockaddr_in group;
    memset(&group, 0, sizeof(group));
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = htonl(aTCPIP_QUERY_GROUP);
    group.sin_port = htons(aTCPIP_QUERY_PORT);
    uint8_t query[aTCPIP_DATAGRAM] = {0x01};
    bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof(out)) == 0 &&
                sendto(fd, query, sizeof(query), 0, (const struct sockaddr*)&group,
                       sizeof(group)) == (ssize_t)sizeof(query);
    return sTCPIPCleanup(fd) && sent;
}

static bool sTCPIPQueryEveryInterface(void) {
    struct ifaddrs* interfaces = NULL;
    if (getifaddrs(&interfaces) != 0) return sTCPIPMultiCast(0);
    bool sent = false;
    for (const struct ifaddrs* entry = interfaces; entry != NULL; entry = entry->ifa_next) {
        uint32_t address = SockAddrToUint32(entry->ifa_addr);
        if (address == 0 || address == INADDR_LOOPBACK) continue;
        if (sTCPIPMultiCast(address)) sent = true;
    }
    freeifaddrs(interfaces);
    return sent;
}

static uint32_t sLE32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* `source` in host byte order. */
static void sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t* answer, uint32_t source) {
    spec->type = TCPIP;
    spec->moduleAddress = answer[1];
    spec->routerAddress = answer[1];
    spec->t.ip.ipPort = (uint32_t)answer[2] | (uint32_t)answer[3] << 8;
    spec->serialNumber = sLE32(answer + 4);
    spec->routerSerialNumber = spec->serialNumber;
    spec->model = answer[12];
    spec->t.ip.ipAddress = htonl(source);
}

uint8_t _aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* ref,
                                   uint32_t networkInterface) {
    uint32_t iface = ntohl(networkInterface);
    if (iface == INADDR_LOOPBACK) iface = 0;

    int listener = sTCPIPSetupListener(iface);
    bool sent = iface != 0 ? sTCPIPMultiCast(iface) : sTCPIPQueryEveryInterface();

    uint8_t count = 0;
    if (sent && listener >= 0) {
        bool goOn = true;
        for (unsigned answers = 0; goOn && answers < aMAX_ANSWERS;) {
            /* Cleared so that nothing of an earlier answer shows through a shorter one;
             * byte 12 stands for an unknown model when the answer does not reach it. */
            uint8_t answer[aTCPIP_DATAGRAM];
            memset(answer, 0, sizeof(answer));
            answer[12] = 0xFF;
            struct sockaddr_in source;
            socklen_t sourceLength = sizeof(source);
            memset(&source, 0, sizeof(source));
            ssize_t got = recvfrom(listener, answer, sizeof(answer), MSG_WAITALL,
                                   (struct sockaddr*)&source, &sourceLength);
            if (got < 0) {
                if (errno == EINTR) continue;
                break;
            }
            answers++;
            if (got < aTCPIP_MIN_ANSWER) continue;
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (spec == NULL) continue;
            sCopyToTCPIPLinkspec(spec, answer, SockAddrToUint32((const struct sockaddr*)&source));
            bool accepted = false;
            goOn = callback(spec, &accepted, ref);
            if (accepted) count++;
            aLinkSpec_Destroy(&spec);
        }
    }
    if (listener >= 0) sTCPIPCleanup(listener);
    return count;
}
