/* IPv4 UDP multicast sender and receiver sockets with the fixed option set that loopback
 * discovery and the server's multicast responder expect. */
#include "aMulticast.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "aDebugging.h"
#include "discover.h"

#define aMULTICAST_TTL 1
#define aMULTICAST_RECEIVE_TIMEOUT_S 1

struct aMulticast {
    int socket; /* -1 when none is open */
    struct addrinfo* groupAddress;
    struct addrinfo* bindAddress;
    struct addrinfo* interfaceAddress;
    uint8_t sender;
};

static uint32_t sLoopback(void) {
    return htonl(INADDR_LOOPBACK);
}

static struct addrinfo* _resolveAddress(const char* node, const char* service, int family,
                                        int socketType, int protocol) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    if (node == NULL) hints.ai_flags = AI_PASSIVE;
    struct addrinfo* result = NULL;
    int rc = getaddrinfo(node, service, &hints, &result);
    if (rc != 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "Invalid address %s, getaddrinfo failed: %d\n",
                     node != NULL ? node : "(null)", rc);
        return NULL;
    }
    return result;
}

static int _printAddress(const struct sockaddr* socketAddress, socklen_t length) {
    char host[1025];
    char service[32];
    int rc = getnameinfo(socketAddress, length, host, sizeof(host), service, sizeof(service),
                         NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) return rc;
    if (strcmp(service, "0") == 0)
        printf("%s", host);
    else if (socketAddress->sa_family == AF_INET)
        printf("[%s]:%s", host, service);
    else
        printf("%s:%s", host, service);
    return 0;
}

static int _setReuse(int socket, int value) {
    int rc = setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &value, sizeof(value));
    if (rc != 0) aDebug_Trace(aDEBUG_MULTICAST, "Failed to set reuse %d\n", errno);
    return rc;
}

static struct in_addr sIPv4(const struct addrinfo* address) {
    return ((const struct sockaddr_in*)(const void*)address->ai_addr)->sin_addr;
}

static int _joinMulticastGroup(int socket, const struct addrinfo* group,
                               const struct addrinfo* interfaceAddress) {
    if (group->ai_family != AF_INET || interfaceAddress->ai_family != AF_INET) {
        aDebug_Trace(aDEBUG_MULTICAST,
                     "Attempting to join multicast group for invalid address family!");
        return -1;
    }
    struct ip_mreq request;
    request.imr_multiaddr = sIPv4(group);
    request.imr_interface = sIPv4(interfaceAddress);
    int rc = setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
    if (rc != 0)
        aDebug_Trace(aDEBUG_MULTICAST, "JoinMulticastGroup: setsockopt failed with error code %d\n",
                     errno);
    return rc;
}

static int _setSendInterface(int socket, const struct addrinfo* interfaceAddress) {
    if (interfaceAddress->ai_family != AF_INET) {
        aDebug_Trace(aDEBUG_MULTICAST,
                     "Attempting to set sent interface for invalid address family!");
        return -1;
    }
    struct in_addr address = sIPv4(interfaceAddress);
    int rc = setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof(address));
    if (rc != 0)
        aDebug_Trace(aDEBUG_MULTICAST, "Failed to set send interface. error code %d\n", errno);
    return rc;
}

static int _setMulticastTtl(int socket, int family, int ttl) {
    if (family != AF_INET) {
        aDebug_Trace(aDEBUG_MULTICAST, "Attempting to set TTL for invalid address family!");
        return -1;
    }
    int rc = setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    if (rc != 0)
        aDebug_Trace(aDEBUG_MULTICAST, "SetMulticastTtl: setsockopt() failed with error code %d\n",
                     errno);
    return rc;
}

static int _setReceiveTimeout(int socket, int family, int seconds) {
    if (family != AF_INET) {
        aDebug_Trace(aDEBUG_MULTICAST, "Attempting to set Timeout for invalid address family!");
        return -1;
    }
    struct timeval timeout;
    timeout.tv_sec = seconds;
    timeout.tv_usec = 0;
    int rc = setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    if (rc != 0)
        aDebug_Trace(aDEBUG_MULTICAST, "SetReceivTimeout: setsockopt() failed with error code %d\n",
                     errno);
    return rc;
}

static int _setMulticastLoopBack(int socket, int family, int on) {
    if (family != AF_INET) {
        aDebug_Trace(aDEBUG_MULTICAST,
                     "Attempting to set multicast loopback for invalid address family!");
        return -1;
    }
    int rc = setsockopt(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof(on));
    if (rc != 0)
        aDebug_Trace(aDEBUG_MULTICAST,
                     "SetMulticastLoopBack: setsockopt() failed with error code %d\n", errno);
    return rc;
}

static aMulticast* sFail(aMulticast* multicast) {
    aDebug_Trace(aDEBUG_MULTICAST, "in cleanup function");
    aMulticast_Destroy(&multicast);
    return NULL;
}

static aMulticast* sCreate(uint32_t interfaceAddress, uint32_t group, uint16_t port, bool sender,
                           int reuse) {
    aMulticast* multicast = (aMulticast*)calloc(1, sizeof(aMulticast));
    if (multicast == NULL) return NULL;
    multicast->socket = -1;
    multicast->sender = sender ? 1 : 0;

    if (interfaceAddress == 0) interfaceAddress = sLoopback();
    char groupText[16];
    char interfaceText[16];
    char portText[6];
    if (aDiscovery_ConvertIPv4Interface(group, groupText, (int)sizeof(groupText)) == 0 ||
        aDiscovery_ConvertIPv4Interface(interfaceAddress, interfaceText,
                                        (int)sizeof(interfaceText)) == 0)
        return sFail(multicast);
    snprintf(portText, sizeof(portText), "%d", (int)port);

    multicast->groupAddress =
        _resolveAddress(groupText, portText, AF_UNSPEC, SOCK_DGRAM, IPPROTO_UDP);
    if (multicast->groupAddress == NULL) {
        aDebug_Trace(aDEBUG_MULTICAST,
                     "Unable to convert multicast address '%s - port: %s': Error %d\n", groupText,
                     portText, errno);
        return sFail(multicast);
    }
    const struct addrinfo* g = multicast->groupAddress;

    multicast->bindAddress =
        sender ? _resolveAddress(interfaceText, "0", g->ai_family, g->ai_socktype, g->ai_protocol)
               : _resolveAddress(NULL, portText, g->ai_family, g->ai_socktype, g->ai_protocol);
    if (multicast->bindAddress == NULL) {
        aDebug_Trace(aDEBUG_MULTICAST, "Unable to convert bind address '%s': Error %d\n",
                     sender ? interfaceText : portText, errno);
        return sFail(multicast);
    }

    multicast->interfaceAddress =
        _resolveAddress(interfaceText, "0", g->ai_family, g->ai_socktype, g->ai_protocol);
    if (multicast->interfaceAddress == NULL) {
        aDebug_Trace(aDEBUG_MULTICAST, "Unable to convert interface address '%s': Error %d\n",
                     interfaceText, errno);
        return sFail(multicast);
    }

    multicast->socket = socket(g->ai_family, g->ai_socktype, g->ai_protocol);
    if (multicast->socket < 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "socket() failed with with error code %d\n", errno);
        multicast->socket = -1;
        return sFail(multicast);
    }
    int fd = multicast->socket;

    int rc = _setReuse(fd, reuse);
    if (rc != 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "Failed to _setReuse rc: %d - %d\n", rc, errno);
        return sFail(multicast);
    }
    if (!sender) {
        const struct addrinfo* b = multicast->bindAddress;
        if (bind(fd, b->ai_addr, b->ai_addrlen) != 0) {
            aDebug_Trace(aDEBUG_MULTICAST, "bind() failed with error code %d \n", errno);
            if (aTessaformDebuggingEnable && (aTessaformDebuggingLevel & aDEBUG_MULTICAST)) {
                _printAddress(b->ai_addr, b->ai_addrlen);
                printf("\n");
            }
            return sFail(multicast);
        }
    }
    if ((rc = _joinMulticastGroup(fd, g, multicast->interfaceAddress)) != 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "_joinMulticastGroup %d - %d\n", rc, errno);
        return sFail(multicast);
    }
    if ((rc = _setSendInterface(fd, multicast->interfaceAddress)) != 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "_setSendInterface %d - %d\n", rc, errno);
        return sFail(multicast);
    }
    if ((rc = _setMulticastTtl(fd, g->ai_family, aMULTICAST_TTL)) != 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "_setMulticastTtl %d - %d\n", rc, errno);
        return sFail(multicast);
    }
    if ((rc = _setReceiveTimeout(fd, g->ai_family, aMULTICAST_RECEIVE_TIMEOUT_S)) != 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "_setReceiveTimeout %d - %d\n", rc, errno);
        return sFail(multicast);
    }
    if ((rc = _setMulticastLoopBack(fd, g->ai_family, 1)) != 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "_setMulticastLoopBack %d - %d\n", rc, errno);
        return sFail(multicast);
    }
    return multicast;
}

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port,
                              bool sender) {
    return sCreate(interfaceAddress, group, port, sender, 0);
}

aMulticast* aMulticast_CreateSharedReceiver(uint32_t interfaceAddress, uint32_t group,
                                            uint16_t port) {
    return sCreate(interfaceAddress, group, port, false, 1);
}

long aMulticast_Send(aMulticast* multicast, const void* data, unsigned length) {
    if (multicast == NULL) return -2;
    if (!multicast->sender) return -3;
    if (data == NULL && length > 0) return -1;
    const struct addrinfo* g = multicast->groupAddress;
    ssize_t sent = sendto(multicast->socket, data, length, 0, g->ai_addr, g->ai_addrlen);
    if (sent < 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "sendto() failed with error code %d\n", errno);
        return -1;
    }
    return (long)sent;
}

long aMulticast_Receive(aMulticast* multicast, void* buffer, int size) {
    if (multicast == NULL) return -2;
    if (multicast->sender) return -3;
    if (size < 0 || (buffer == NULL && size > 0)) return -1;
    struct sockaddr_in source;
    socklen_t sourceLength = sizeof(source);
    /* MSG_TRUNC reports a datagram's whole size even when it did not fit, so that callers
     * that check the size see an oversized datagram for what it is. */
    ssize_t received = recvfrom(multicast->socket, buffer, (size_t)size, MSG_WAITALL | MSG_TRUNC,
                                (struct sockaddr*)&source, &sourceLength);
    if (received < 0) {
        aDebug_Trace(aDEBUG_MULTICAST, "recvfrom() failed with error code %d\n", errno);
        return -1;
    }
    return (long)received;
}

long aMulticast_Destroy(aMulticast** handle) {
    if (handle == NULL || *handle == NULL) return -2;
    aMulticast* multicast = *handle;
    if (multicast->groupAddress != NULL) freeaddrinfo(multicast->groupAddress);
    if (multicast->bindAddress != NULL) freeaddrinfo(multicast->bindAddress);
    if (multicast->interfaceAddress != NULL) freeaddrinfo(multicast->interfaceAddress);
    if (multicast->socket >= 0) close(multicast->socket);
    free(multicast);
    *handle = NULL;
    return 0;
}

int aMulticast_Descriptor(const aMulticast* multicast) {
    return multicast ? multicast->socket : -1;
}
