/* The TCP socket transport of the byte streams: a non-blocking IPv4 connection that
 * reconnects in place when the peer resets or closes it. */
#include "aStream.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "aCondition.h"
#include "aMutex.h"
#include "aTime.h"

#define CONNECT_TIMEOUT_SEC 5
#define aSOCKETSTREAM_CHECK 0xDEAD
#define aSOCKET_CONNECTED 0x1u
/* The link engine reads again at once after a not-ready read; this wait is its pacing. */
#define aSOCKET_READ_WAIT_MS 100
/* Lets the reset of the old connection leave before the next connect. */
#define aSOCKET_CLOSE_PAUSE_MS 10

/* One thread reads and another writes, and either may find the connection broken and
 * replace it. Coordination:
 * - lock guards fd, flags, generation, pollers and resetting. Every send and receive
 *   runs under it (they never block: the socket is non-blocking), and so does a reconnect.
 * - Only the reader's wait for readability (poll, up to 100 ms) runs without the lock, so a
 *   writer is not held up by an idle reader. The reader counts itself in pollers for the
 *   wait; a reconnect first shuts the old socket down, which ends that wait at once, and
 *   closes the descriptor only when pollers is 0. While resetting is set nobody else
 *   touches fd; the others wait on changed.
 * - generation counts reconnects. A reader that waited on a replaced descriptor reports
 *   not-ready and polls the new one next time. A writer that had sent part of its block
 *   before the connection was replaced sends no more of it: the tail alone would break the
 *   far side's packet framing on the fresh connection. A block not yet begun goes whole to
 *   the new connection. */
typedef struct aSocketStream {
    uint16_t port;
    struct sockaddr_in address;
    int fd; /* -1 when no socket is open */
    uint32_t flags;
    uint16_t check;
    aMutex* lock;
    aCondition* changed; /* pollers fell to 0, or a reconnect ended */
    unsigned pollers;
    bool resetting;
    uint64_t generation;
    /* Bytes received but not yet read: the reader takes a chunk per receive, not a
     * byte, so a packet costs one wait and one receive. Touched by the reader only. */
    uint8_t rx[512];
    size_t rxStart;
    size_t rxEnd;
} aSocketStream;

static bool aVALIDSS(const aSocketStream* ss) {
    return ss != NULL && ss->check == aSOCKETSTREAM_CHECK;
}

static bool sConnected(const aSocketStream* ss) {
    return (ss->flags & aSOCKET_CONNECTED) != 0;
}

static bool sResetError(int error) {
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

static bool sBusyError(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

/* Lock held. */
static void sAwaitReset(aSocketStream* ss) {
    while (ss->resetting)
        aCondition_Wait(ss->changed, ss->lock);
}

/* Lock held, nobody polling. */
static aErr sSocketStreamClose(aSocketStream* ss) {
    ss->flags &= ~aSOCKET_CONNECTED;
    if (ss->fd >= 0) close(ss->fd);
    ss->fd = -1;
    aTime_MSSleep(aSOCKET_CLOSE_PAUSE_MS);
    return aErrNone;
}

static aErr sSocketStreamConnectErr(int error) {
    return (error == ECONNRESET || error == ETIMEDOUT || error == ECONNREFUSED) ? aErrConnection
                                                                                : aErrIO;
}

static aErr sSetNonBlocking(int fd) {
    int on = 1;
    return ioctl(fd, FIONBIO, &on) == 0 ? aErrNone : aErrIO;
}

/* Waits for the connect to finish; the pending error, or ETIMEDOUT. */
static int sAwaitConnect(int fd) {
    uint64_t start = aTime_GetMonotonicMSTicks();
    const uint64_t limit = CONNECT_TIMEOUT_SEC * 1000u;
    for (;;) {
        uint64_t spent = aTime_GetMonotonicMSTicks() - start;
        if (spent >= limit) return ETIMEDOUT;
        struct pollfd wait = {.fd = fd, .events = POLLOUT};
        int ready = poll(&wait, 1, (int)(limit - spent));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return errno;
        if (ready == 0) return ETIMEDOUT;
        int pending = 0;
        socklen_t size = sizeof(pending);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return errno;
        return pending;
    }
}

/* Lock held. */
static aErr sSocketStreamConnect(aSocketStream* ss) {
    if (sSetNonBlocking(ss->fd) != aErrNone) {
        sSocketStreamClose(ss);
        return aErrIO;
    }
    int error = 0;
    if (connect(ss->fd, (const struct sockaddr*)&ss->address, sizeof(ss->address)) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EAGAIN) error = sAwaitConnect(ss->fd);
    }
    if (error == 0) {
        ss->flags |= aSOCKET_CONNECTED;
        return aErrNone;
    }
    sSocketStreamClose(ss);
    return sSocketStreamConnectErr(error);
}

static aErr sSocketStreamSetOptions(aSocketStream* ss) {
    if (!aVALIDSS(ss)) return aErrIO;
    int on = 1;
    struct timeval noTimeout = {0, 0};
    /* Linger 0: closing resets the connection at once instead of draining it. */
    struct linger abort = {1, 0};
    if (setsockopt(ss->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
        setsockopt(ss->fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0 ||
        setsockopt(ss->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort)) != 0 ||
        sSetNonBlocking(ss->fd) != aErrNone)
        return aErrIO;
    return aErrNone;
}

/* Lock held. Replaces the connection; on failure no socket is left open and the connected
 * bit stays clear, so every later read and write answers aErrConnection at once. */
static aErr sSocketStreamReset(aSocketStream* ss) {
    if (!aVALIDSS(ss)) return aErrInitialization;
    ss->resetting = true;
    ss->flags &= ~aSOCKET_CONNECTED;
    if (ss->fd >= 0) {
        if (ss->pollers > 0) {
            shutdown(ss->fd, SHUT_RDWR);
            while (ss->pollers > 0)
                aCondition_Wait(ss->changed, ss->lock);
        }
        sSocketStreamClose(ss);
    }

    aErr err = aErrNone;
    ss->fd = socket(AF_INET, SOCK_STREAM, 0);
    if (ss->fd < 0) {
        ss->fd = -1;
        err = aErrIO;
    }
    if (err == aErrNone) err = sSocketStreamConnect(ss);
    if (err == aErrNone) {
        err = sSocketStreamSetOptions(ss);
        if (err != aErrNone) sSocketStreamClose(ss);
    }

    ss->generation++;
    ss->resetting = false;
    aCondition_Broadcast(ss->changed);
    return err;
}

/* Lock held, the socket reported readable. */
static aErr sSocketStreamReceive(aSocketStream* ss, uint8_t* byte) {
    for (int attempt = 0; attempt < 2; attempt++) {
        ssize_t n = recv(ss->fd, ss->rx, sizeof(ss->rx), MSG_DONTWAIT);
        int error = n < 0 ? errno : 0;
        if (n > 0) {
            ss->rxStart = 1;
            ss->rxEnd = (size_t)n;
            *byte = ss->rx[0];
            return aErrNone;
        }
        if (n < 0 && sBusyError(error)) return aErrNotReady;
        if (n < 0 && !sResetError(error)) return aErrConnection;
        /* A reset, or an orderly close (0 bytes): reconnect once. Reporting a close as
         * not-ready would make a module that went away look alive for ever. */
        if (attempt > 0) return aErrNotReady;
        aErr err = sSocketStreamReset(ss);
        if (err != aErrNone) return err;
    }
    return aErrNotReady;
}

static aErr sSocketStreamGet(uint8_t* byte, void* ref) {
    aSocketStream* ss = ref;
    if (!aVALIDSS(ss) || !byte) return aErrParam;
    if (ss->rxStart < ss->rxEnd) {
        *byte = ss->rx[ss->rxStart++];
        return aErrNone;
    }

    aMutex_Lock(ss->lock);
    sAwaitReset(ss);
    if (!sConnected(ss)) {
        aMutex_Unlock(ss->lock);
        return aErrConnection;
    }
    int fd = ss->fd;
    uint64_t generation = ss->generation;
    ss->pollers++;
    aMutex_Unlock(ss->lock);

    struct pollfd wait = {.fd = fd, .events = POLLIN};
    int ready = poll(&wait, 1, aSOCKET_READ_WAIT_MS);
    int pollError = ready < 0 ? errno : 0;

    aMutex_Lock(ss->lock);
    if (--ss->pollers == 0) aCondition_Broadcast(ss->changed);
    sAwaitReset(ss);
    aErr err;
    if (ready == 0 || (ready < 0 && pollError == EINTR))
        err = aErrNotReady;
    else if (ready < 0)
        err = aErrIO;
    else if (!sConnected(ss))
        err = aErrConnection;
    else if (ss->generation != generation)
        err = aErrNotReady;
    else
        err = sSocketStreamReceive(ss, byte);
    aMutex_Unlock(ss->lock);
    return err;
}

static aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* ref) {
    aSocketStream* ss = ref;
    if (!aVALIDSS(ss) || (!data && length > 0)) return aErrParam;

    aMutex_Lock(ss->lock);
    sAwaitReset(ss);
    if (!sConnected(ss)) {
        aMutex_Unlock(ss->lock);
        return aErrConnection;
    }

    uint64_t generation = ss->generation;
    size_t sent = 0;
    uint8_t tries = 0;
    aErr err = aErrNone;
    while (sent < length) {
        ssize_t n = send(ss->fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        int error = n < 0 ? errno : 0;
        if (n > 0) {
            sent += (size_t)n;
            if (sent < length) tries = 1;
        } else if (n == 0 || sBusyError(error)) {
            tries++;
        } else if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
            err = sSocketStreamReset(ss);
            if (err != aErrNone) break;
            generation = ss->generation;
            if (sent > 0) {
                err = aErrWrite;
                break;
            }
            tries++;
        } else {
            err = aErrIO;
            break;
        }
        if (sent == length) break;

        /* The pause runs without the lock so that the reader is not held up. */
        aMutex_Unlock(ss->lock);
        aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
        aMutex_Lock(ss->lock);
        sAwaitReset(ss);
        if (!sConnected(ss)) {
            err = aErrConnection;
            break;
        }
        if (ss->generation != generation) {
            if (sent > 0) {
                err = aErrWrite;
                break;
            }
            generation = ss->generation;
        }
        if (tries >= aSOCKET_MAX_SEND_RETRY) {
            /* The unsent rest is dropped; saying so lets the caller know the far side now
             * holds a partial block. */
            err = aErrWrite;
            break;
        }
    }
    aMutex_Unlock(ss->lock);
    return err;
}

static aErr sSocketStreamPut(const uint8_t* byte, void* ref) {
    return sSocketStreamWrite(byte, 1, ref);
}

static void sFreeRecord(aSocketStream* ss) {
    aCondition_Destroy(&ss->changed);
    aMutex_Destroy(&ss->lock);
    ss->check = 0;
    free(ss);
}

/* Runs when neither the reader nor the writer uses the stream any more. */
static aErr sSocketStreamDelete(void* ref) {
    aSocketStream* ss = ref;
    if (!aVALIDSS(ss)) return aErrIO;
    aMutex_Lock(ss->lock);
    if (ss->fd >= 0) {
        sSocketStreamClose(ss);
        ss->flags = 0;
    }
    aMutex_Unlock(ss->lock);
    sFreeRecord(ss);
    return aErrNone;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** out) {
    if (!out) return aErrResource;
    *out = NULL;

    aSocketStream* ss = calloc(1, sizeof(aSocketStream));
    if (!ss) return aErrResource;
    ss->port = port;
    ss->address.sin_family = AF_INET;
    ss->address.sin_port = htons(port);
    ss->address.sin_addr.s_addr = address;
    ss->fd = -1;
    ss->lock = aMutex_Create("aSocketStream");
    ss->changed = aCondition_Create();
    if (!ss->lock || !ss->changed) {
        sFreeRecord(ss);
        return aErrResource;
    }
    ss->check = aSOCKETSTREAM_CHECK;

    aMutex_Lock(ss->lock);
    aErr err = sSocketStreamReset(ss);
    aMutex_Unlock(ss->lock);
    if (err != aErrNone) {
        sFreeRecord(ss);
        return aErrResource;
    }

    aStream* stream = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                     sSocketStreamDelete, ss);
    if (!stream) {
        sSocketStreamDelete(ss);
        return aErrResource;
    }
    *out = stream;
    return aErrNone;
}
