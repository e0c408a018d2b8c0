/* IPv4 UDP multicast sockets for loopback discovery: a sender that sends datagrams to a
 * group and port, or a receiver bound to the group's port with a one-second receive time-out. */
#ifndef TESSAFORM_AMULTICAST_H
#define TESSAFORM_AMULTICAST_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aMulticast aMulticast;

/* Addresses are IPv4 in network byte order; an interface of 0 or 127.0.0.1 is the loopback
 * interface. A receiver turns address reuse off, so it cannot be made while another socket
 * holds its port. NULL on any failure. */
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port,
                              bool sender);

/* A receiver with address reuse on, so that several of them (in any process) can hold the
 * port at once, each getting every datagram sent to the group there. NULL on any failure. */
aMulticast* aMulticast_CreateSharedReceiver(uint32_t interfaceAddress, uint32_t group,
                                            uint16_t port);

/* Bytes sent; -1 when the send fails, -2 for NULL, -3 on a receiver. */
long aMulticast_Send(aMulticast* multicast, const void* data, unsigned length);

/* The size of the datagram that arrived, which is more than size when it did not fit (only
 * size bytes are stored then); -1 on a time-out (one second) or failure, -2 for NULL,
 * -3 on a sender. */
long aMulticast_Receive(aMulticast* multicast, void* buffer, int size);

/* The socket's descriptor, for a poll that waits on it beside other inputs; -1 for NULL. */
int aMulticast_Descriptor(const aMulticast* multicast);
/* Closes the socket, frees the record and clears the handle: 0, or -2 when it holds NULL. */
long aMulticast_Destroy(aMulticast** handle);

#ifdef __cplusplus
}
#endif

#endif
