/* Reading ahead and bounded writing on the non-blocking descriptors of the serial port and
 * the USB kernel node. */
#include "unix_fdstream.h"

#include <errno.h>
#include <poll.h>
#include <stdbool.h>
#include <unistd.h>

#include "aTime.h"

/* A hung-up terminal (unplugged adapter, closed pty master) reads nothing, exactly like an
 * idle one; only poll tells them apart. */
static bool sHungUp(short revents) {
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

aErr aFdStream_Fill(int fd, uint8_t* buffer, size_t size, int waitMs, size_t* got) {
    *got = 0;
    /* Waiting first costs one call less than a read that finds nothing: an idle reader
     * sleeps here, and a burst comes out of a single read. */
    struct pollfd wait = {.fd = fd, .events = POLLIN};
    int ready = poll(&wait, 1, waitMs);
    if (ready < 0) return errno == EINTR ? aErrNotReady : aErrIO;
    if (ready == 0) return aErrNotReady;
    /* The bytes that came before a hang-up are still handed out. */
    if (wait.revents & POLLIN) {
        ssize_t n;
        do {
            n = read(fd, buffer, size);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            *got = (size_t)n;
            return aErrNone;
        }
        /* EFAULT is how the modules' kernel driver says that nothing is waiting. */
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EFAULT) return aErrIO;
    }
    return sHungUp(wait.revents) ? aErrIO : aErrNotReady;
}

aErr aFdStream_Write(int fd, const uint8_t* data, size_t length, uint64_t stallLimitMs) {
    uint64_t lastProgress = aTime_GetMonotonicMSTicks();
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = write(fd, data + sent, length - sent);
        if (n > 0) {
            sent += (size_t)n;
            lastProgress = aTime_GetMonotonicMSTicks();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return aErrIO;

        /* A peer that stopped reading must not hold the writer (a link's output thread,
         * which its teardown joins) for ever. */
        uint64_t spent = aTime_GetMonotonicMSTicks() - lastProgress;
        if (spent >= stallLimitMs) return aErrTimeout;
        struct pollfd wait = {.fd = fd, .events = POLLOUT};
        int ready = poll(&wait, 1, (int)(stallLimitMs - spent));
        if (ready < 0 && errno != EINTR) return aErrIO;
        if (ready > 0 && sHungUp(wait.revents)) return aErrIO;
    }
    return aErrNone;
}
