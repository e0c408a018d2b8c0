/* The ZeroMQ client stream: a DEALER to the packet server, served by a relay thread, with
 * one in-process DEALER pair for the link's writer and one for its reader. */
#include "aStream_ZeroMQClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "aDebugging.h"
#include "aTime.h"
#include "zSysInterruptHandler.h"

#define RELAY_WAIT_MS 1000
#define SEND_TRIES 100
#define SEND_RETRY_DELAY_MS 1
#define STOP_TIMEOUT_MS 250
/* How long a delete waits for a stopped relay to let go of the record. */
#define RELAY_LET_GO_MS 5000
#define ENDPOINT_SIZE 36 /* "tcp://255.255.255.255:65535" and room to spare */
#define PAIR_ENDPOINT_SIZE 64

/* The server connection as the relay last saw it. Only a connection that was made and then
 * lost is a failure: a server that has not come up yet is a quiet one. */
enum { kServerNotYet = 0, kServerUp = 1, kServerLost = 2 };

typedef struct aZeroMQClientStream {
    zsock_t* client;
    zsock_t* outgoingWriter;
    zsock_t* outgoingRelay;
    zsock_t* incomingReader;
    zsock_t* incomingRelay;
    zactor_t* relay;
    zpoller_t* poller;
    zframe_t* frame;
    uint64_t readPosition;
    uint64_t frameSize;
    /* Connection events of the client socket (a PAIR on its monitor); the relay's alone.
     * ZeroMQ reconnects silently, so without them a vanished server would only ever look
     * quiet. */
    zsock_t* monitor;
    atomic_int server; /* kServer..., written by the relay, read by get */
    /* Set by the relay as its last touch of this record. The stop's hand-shake travels over
     * ZeroMQ pipes, which neither the compiler nor a sanitizer can see as synchronisation;
     * the record is freed only once this is seen. */
    atomic_bool relayDone;
} aZeroMQClientStream;

static bool _aVALIDStream(const aZeroMQClientStream* state) {
    return state != NULL && state->client != NULL;
}

/* Tries a don't-wait send up to tries times; the frame is gone afterwards either way. */
static int sSendFrame(zframe_t** frame, zsock_t* socket, int tries) {
    int rc = -1;
    for (int i = 0; i < tries; i++) {
        rc = zframe_send(frame, socket, ZFRAME_DONTWAIT);
        if (rc == 0) break;
        if (i + 1 < tries) aTime_MSSleep(SEND_RETRY_DELAY_MS);
    }
    zframe_destroy(frame);
    return rc;
}

/* A DEALER pair inside the process: bound takes a fresh inproc name and connected connects
 * to it. Over loopback TCP the bound end had no peer until the handshake finished, so the
 * first writes of a new stream could be dropped, and any local process could connect to
 * either end and take or inject packets. An inproc connect to a bound name makes the pipe at
 * once. */
static aErr sOpenPair(zsock_t** bound, zsock_t** connected, const char* name) {
    static atomic_uint pairs; /* a closed name may linger a while: never reuse one */
    *bound = zsock_new(ZMQ_DEALER);
    *connected = zsock_new(ZMQ_DEALER);
    if (!*bound || !*connected) return aErrMemory;
    char endpoint[PAIR_ENDPOINT_SIZE];
    snprintf(endpoint, sizeof(endpoint), "inproc://tessaform-client-%s-%u", name,
             atomic_fetch_add(&pairs, 1u));
    if (zsock_bind(*bound, "%s", endpoint) != 0 || zsock_connect(*connected, "%s", endpoint) != 0) {
        aDebug_Trace(aDEBUG_CLIENT, "client: %s connecting fail", name);
        return aErrConnection;
    }
    aDebug_Trace(aDEBUG_CLIENT, "%s connected: %s\n", name, endpoint);
    return aErrNone;
}

static void sNoteServerEvent(aZeroMQClientStream* state) {
    zmsg_t* event = zmsg_recv(state->monitor);
    zframe_t* head = event ? zmsg_first(event) : NULL;
    if (head && zframe_size(head) >= sizeof(uint16_t)) {
        uint16_t code = 0;
        memcpy(&code, zframe_data(head), sizeof(code));
        if (code == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) {
            atomic_store(&state->server, kServerUp);
            aDebug_Trace(aDEBUG_CLIENT, "Client: server connection up\n");
        } else if (code == ZMQ_EVENT_DISCONNECTED && atomic_load(&state->server) == kServerUp) {
            atomic_store(&state->server, kServerLost);
            aDebug_Trace(aDEBUG_CLIENT, "Client: server connection lost\n");
        }
    }
    zmsg_destroy(&event);
}

static void _broker_task(zsock_t* pipe, void* args) {
    aZeroMQClientStream* state = (aZeroMQClientStream*)args;
    zsock_signal(pipe, 0);
    zpoller_t* poller =
        zpoller_new(pipe, state->client, state->outgoingRelay, state->monitor, (void*)NULL);
    if (!poller) {
        atomic_store_explicit(&state->relayDone, true, memory_order_release);
        zsock_signal(pipe, 1);
        return;
    }
    zsock_signal(pipe, 0);

    for (;;) {
        void* ready = zpoller_wait(poller, RELAY_WAIT_MS);
        zSysInterruptHandler_process();
        if (ready == pipe) {
            zmsg_t* stop = zmsg_recv(pipe);
            zmsg_destroy(&stop);
            break;
        } else if (ready == state->client) {
            zframe_t* frame = zframe_recv(state->client);
            if (frame && sSendFrame(&frame, state->incomingRelay, SEND_TRIES) != 0)
                aDebug_Trace(aDEBUG_CLIENT, "Client send error Frontend->incomming: %d\n",
                             zmq_errno());
        } else if (ready == state->outgoingRelay) {
            zframe_t* frame = zframe_recv(state->outgoingRelay);
            if (frame && sSendFrame(&frame, state->client, 1) != 0)
                aDebug_Trace(aDEBUG_CLIENT, "Client send error Frontend->client: %d\n",
                             zmq_errno());
        } else if (ready == state->monitor) {
            sNoteServerEvent(state);
        } else if (zpoller_terminated(poller)) {
            break;
        }
    }
    zpoller_destroy(&poller);
    aDebug_Trace(aDEBUG_CLIENT, "Client task exit");
    atomic_store_explicit(&state->relayDone, true, memory_order_release);
    zsock_signal(pipe, 0);
}

/* Waits for the next frame that holds bytes; an empty frame would leave nothing to read
 * and must not become the current frame. */
static aErr sAwaitFrame(aZeroMQClientStream* state) {
    uint64_t deadline = aTime_GetMonotonicMSTicks() + aZMQCLIENT_READ_WAIT_MS;
    for (;;) {
        uint64_t now = aTime_GetMonotonicMSTicks();
        int wait = now < deadline ? (int)(deadline - now) : 0;
        void* ready = zpoller_wait(state->poller, wait);
        zSysInterruptHandler_process();
        if (ready == state->incomingReader) {
            zframe_t* frame = zframe_recv(state->incomingReader);
            if (!frame) return aErrIO;
            if (zframe_size(frame) == 0) {
                zframe_destroy(&frame);
                continue;
            }
            state->frame = frame;
            state->readPosition = 0;
            state->frameSize = zframe_size(frame);
            return aErrNone;
        }
        if (ready == NULL && zpoller_expired(state->poller))
            return atomic_load(&state->server) == kServerLost ? aErrConnection : aErrNotReady;
        return aErrUnknown;
    }
}

static aErr _sZeroMQStreamGet(uint8_t* byte, void* ref) {
    aZeroMQClientStream* state = (aZeroMQClientStream*)ref;
    if (!_aVALIDStream(state) || !byte) return aErrParam;
    if (!state->frame) {
        aErr result = sAwaitFrame(state);
        if (result != aErrNone) return result;
    }
    if (state->readPosition >= state->frameSize) return aErrIndexRange;
    *byte = zframe_data(state->frame)[state->readPosition++];
    if (state->readPosition >= state->frameSize) {
        zframe_destroy(&state->frame);
        state->readPosition = 0;
        state->frameSize = 0;
    }
    return aErrNone;
}

static aErr _sZeroMQStreamPut(const uint8_t* byte, void* ref) {
    (void)byte;
    (void)ref;
    return aErrUnimplemented;
}

/* Bytes of the packet in wire form that starts the run, or the whole run when that packet
 * does not fit in it. */
static size_t sPacketSpan(const uint8_t* data, size_t length) {
    if (length < 2) return length;
    size_t span = 2u + data[1];
    return span < length ? span : length;
}

/* The server reads every frame as one packet and ignores the rest of it, so a pooled
 * batch must go out as one frame per packet. */
static aErr _sZeroMQStreamWrite(const uint8_t* data, size_t length, void* ref) {
    aZeroMQClientStream* state = (aZeroMQClientStream*)ref;
    if (!_aVALIDStream(state) || (!data && length)) return aErrParam;
    size_t offset = 0;
    while (offset < length) {
        size_t span = sPacketSpan(data + offset, length - offset);
        zframe_t* frame = zframe_new(data + offset, span);
        offset += span;
        if (frame && sSendFrame(&frame, state->outgoingWriter, SEND_TRIES) != 0)
            aDebug_Trace(aDEBUG_CLIENT, "--Client send error outgoing->frontend: %d\n",
                         zmq_errno());
    }
    return aErrNone;
}

/* Time-outs keep a relay that already ended from holding the caller. */
static void sStopRelay(zactor_t** relay) {
    if (!*relay) return;
    zsock_t* pipe = zactor_sock(*relay);
    zsock_set_sndtimeo(pipe, STOP_TIMEOUT_MS);
    zsock_set_rcvtimeo(pipe, STOP_TIMEOUT_MS);
    if (zsock_signal(pipe, 0) == 0) zsock_wait(pipe);
    zsock_set_sndtimeo(pipe, -1);
    zsock_set_rcvtimeo(pipe, -1);
    zactor_destroy(relay);
}

/* True once the relay has let go of the record; a relay that never lets go (it cannot, once
 * asked to stop, unless it hangs) keeps the record: a leak is better than a use after free. */
static bool sRelayLetGo(aZeroMQClientStream* state) {
    if (!state->relay) return true;
    sStopRelay(&state->relay);
    for (int waited = 0; waited < RELAY_LET_GO_MS; waited++) {
        if (atomic_load_explicit(&state->relayDone, memory_order_acquire)) return true;
        aTime_MSSleep(1);
    }
    aDebug_Trace(aDEBUG_CLIENT, "Client delete: the relay did not stop");
    return false;
}

static void sRelease(aZeroMQClientStream* state) {
    if (!sRelayLetGo(state)) return;
    zpoller_destroy(&state->poller);
    if (state->client && state->monitor) zmq_socket_monitor(zsock_resolve(state->client), NULL, 0);
    zsock_destroy(&state->client);
    zsock_destroy(&state->incomingReader);
    zsock_destroy(&state->outgoingWriter);
    zsock_destroy(&state->incomingRelay);
    zsock_destroy(&state->outgoingRelay);
    zsock_destroy(&state->monitor);
    zframe_destroy(&state->frame);
    free(state);
}

static aErr _sZeroMQStreamDelete(void* ref) {
    aZeroMQClientStream* state = (aZeroMQClientStream*)ref;
    if (!_aVALIDStream(state)) return aErrIO;
    aDebug_Trace(aDEBUG_CLIENT, "Client delete: start");
    sRelease(state);
    aDebug_Trace(aDEBUG_CLIENT, "Client delete: end");
    return aErrNone;
}

/* The monitor must be listening before the client connects, or the first connection's
 * events are lost. */
static aErr sConnectClient(aZeroMQClientStream* state, uint32_t address, uint16_t port) {
    static atomic_uint monitors;
    state->client = zsock_new(ZMQ_DEALER);
    state->monitor = zsock_new(ZMQ_PAIR);
    if (!state->client || !state->monitor) return aErrMemory;
    zsock_set_heartbeat_ivl(state->client, aZMQCLIENT_HEARTBEAT_IVL_MS);
    zsock_set_heartbeat_timeout(state->client, aZMQCLIENT_HEARTBEAT_TIMEOUT_MS);
    zsock_set_heartbeat_ttl(state->client, aZMQCLIENT_HEARTBEAT_TTL_MS);

    char monitorEndpoint[64];
    snprintf(monitorEndpoint, sizeof(monitorEndpoint), "inproc://tessaform-client-%u",
             atomic_fetch_add(&monitors, 1u));
    if (zmq_socket_monitor(zsock_resolve(state->client), monitorEndpoint,
                           ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED) != 0 ||
        zsock_connect(state->monitor, "%s", monitorEndpoint) != 0)
        return aErrMemory;

    struct in_addr in = {.s_addr = address};
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &in, dotted, sizeof(dotted));
    aDebug_Trace(aDEBUG_CLIENT, "aStream_CreateClient address: %s\n", dotted);
    char endpoint[ENDPOINT_SIZE];
    snprintf(endpoint, sizeof(endpoint), "tcp://%s:%d", dotted, port);
    int rc = zsock_connect(state->client, "%s", endpoint);
    if (rc != 0) {
        aDebug_Trace(aDEBUG_CLIENT, "Error connecting to socket: %d(rc)\n", rc);
        return aErrConnection;
    }
    aDebug_Trace(aDEBUG_CLIENT, "Client connected to port: %d - rc: %d\n", port, rc);
    return aErrNone;
}

static aErr sBuild(aZeroMQClientStream* state, uint32_t address, uint16_t port) {
    aErr result = sOpenPair(&state->outgoingWriter, &state->outgoingRelay, "outgoing");
    if (result == aErrNone)
        result = sOpenPair(&state->incomingReader, &state->incomingRelay, "incoming");
    if (result == aErrNone) result = sConnectClient(state, address, port);
    if (result != aErrNone) return result;

    state->poller = zpoller_new(state->incomingReader, (void*)NULL);
    if (!state->poller) return aErrMemory;
    state->relay = zactor_new(_broker_task, state);
    if (!state->relay || zsock_wait(state->relay) != 0) return aErrMemory;
    return aErrNone;
}

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** out) {
    if (!out) return aErrParam;
    *out = NULL;
    aZeroMQClientStream* state = (aZeroMQClientStream*)calloc(1, sizeof(*state));
    if (!state) return aErrMemory;
    atomic_init(&state->server, kServerNotYet);
    aErr result = sBuild(state, address, port);
    if (result != aErrNone) {
        sRelease(state);
        return result;
    }
    *out = aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite,
                          _sZeroMQStreamDelete, state);
    if (!*out) {
        sRelease(state);
        return aErrResource;
    }
    return aErrNone;
}
