/* The byte stream of a client link: packets exchanged with a packet server over a ZeroMQ
 * DEALER, relayed by a thread of its own so that the link's reader and writer never share
 * a socket. */
#ifndef TESSAFORM_ASTREAM_ZEROMQCLIENT_H
#define TESSAFORM_ASTREAM_ZEROMQCLIENT_H

#include <stdint.h>

#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How long a get waits for the server's data before it reports aErrNotReady. */
#define aZMQCLIENT_READ_WAIT_MS 1000
/* ZeroMQ heartbeats on the connection to the server: a ping every interval, and a
 * connection that brings nothing back for the time-out after a ping counts as gone. The
 * time to live asks the server to drop this client when it falls silent as long. A dropped
 * connection comes back under a new identity, and the server forgets the old one's reply
 * and stream, so the time-outs leave room for a loaded host or a stalled network. */
#define aZMQCLIENT_HEARTBEAT_IVL_MS 1000
#define aZMQCLIENT_HEARTBEAT_TIMEOUT_MS 5000
#define aZMQCLIENT_HEARTBEAT_TTL_MS 6000

/* A stream to the packet server at an IPv4 address (network order) and port. The server
 * need not be there yet: ZeroMQ connects, and reconnects, in the background.
 *
 * Get hands out the bytes of the server's frames one by one (empty frames are skipped);
 * with nothing to hand out it waits up to aZMQCLIENT_READ_WAIT_MS, then reports
 * aErrNotReady, or aErrConnection once a server that was connected has gone (closed, or
 * silent through a heartbeat time-out) and no new one has taken its place. Write cuts the
 * bytes into packets in wire form ([address][length][data]) and sends each as one frame
 * (a run that does not end on a packet boundary goes as its own last frame); it reports
 * aErrNone whether or not the frames went out. Put is aErrUnimplemented.
 *
 * Results: aErrParam for a NULL out; aErrMemory when a socket, a poller or the relay
 * cannot be made; aErrConnection when a connect fails; aErrResource when the stream
 * record cannot be made. *out is NULL on every failure. */
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** out);

#ifdef __cplusplus
}
#endif

#endif
