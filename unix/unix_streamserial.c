/* The serial transport of the byte streams: a termios port in raw mode. The descriptor
 * stays non-blocking so that neither a read nor a write can hang on a line that stopped. */
#include "aStream_Serial.h"

#include <errno.h>
#include <fcntl.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "aStream_CobsEncoding.h"
#include "unix_fdstream.h"

/* The link engine reads again at once after a not-ready read; this wait is its pacing. */
#define aSERIAL_READ_WAIT_MS 100
/* A tty wakes a blocked writer only when its buffer (a page on most drivers) has nearly
 * drained, so a live line can take nothing for as long as that buffer takes to send. */
#define aSERIAL_KERNEL_BUFFER 4096u
#define aSERIAL_STALL_FLOOR_MS 1000u
#define aSERIAL_READ_AHEAD 1024

typedef struct aSerialStream {
    uint32_t baudIndex;
    char portName[aSERIAL_PORT_NAME_SIZE];
    int fd; /* -1 while not open */
    bool haveSaved;
    struct termios saved;   /* as found; put back on delete */
    struct termios applied; /* as put in force */
    /* The reading thread's alone: one read takes what the port has, not one byte. */
    uint8_t readAhead[aSERIAL_READ_AHEAD];
    size_t readNext, readEnd;
    uint16_t check;
} aSerialStream;

static const struct {
    speed_t constant;
    uint32_t bitsPerSecond;
} sSpeeds[aSERIAL_BAUD_INDEX_MAX + 1] = {
    {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

static bool aVALIDSS(const aSerialStream* ss) {
    return ss != NULL && ss->check == aSERIALSTREAM_CHECK;
}

/* Twice the time the line needs for a full kernel buffer (10 bits a byte), at least 1 s. */
static uint64_t sStallLimitMs(uint32_t baudIndex) {
    uint64_t bitsPerSecond = sSpeeds[baudIndex].bitsPerSecond;
    return aSERIAL_STALL_FLOOR_MS + 2u * aSERIAL_KERNEL_BUFFER * 10u * 1000u / bitsPerSecond;
}

/* Hands out the next byte read ahead, reading what the port has (after waiting up to
 * waitMs for it) when none is left. */
static aErr sTakeByte(aSerialStream* ss, uint8_t* byte, int waitMs) {
    if (ss->readNext == ss->readEnd) {
        size_t got = 0;
        aErr err = aFdStream_Fill(ss->fd, ss->readAhead, sizeof(ss->readAhead), waitMs, &got);
        if (err != aErrNone) return err;
        ss->readNext = 0;
        ss->readEnd = got;
    }
    *byte = ss->readAhead[ss->readNext++];
    return aErrNone;
}

static aErr sSerialStreamGet(uint8_t* byte, void* ref) {
    aSerialStream* ss = ref;
    if (!aVALIDSS(ss) || !byte) return aErrParam;
    if (ss->fd < 0) return aErrIO;
    return sTakeByte(ss, byte, 0);
}

/* The packetized stream's inner get: waits for input, so an idle link sleeps here. */
static aErr sSerialStreamGetWaiting(uint8_t* byte, void* ref) {
    aSerialStream* ss = ref;
    if (!aVALIDSS(ss) || !byte) return aErrParam;
    if (ss->fd < 0) return aErrIO;
    return sTakeByte(ss, byte, aSERIAL_READ_WAIT_MS);
}

static aErr sSerialStreamWrite(const uint8_t* data, size_t length, void* ref) {
    aSerialStream* ss = ref;
    if (!aVALIDSS(ss) || (!data && length > 0)) return aErrParam;
    if (ss->fd < 0) return aErrIO;

    aErr err = aFdStream_Write(ss->fd, data, length, sStallLimitMs(ss->baudIndex));
    if (err != aErrNone) return aErrIO;
    /* Returning means the bytes are on the line: callers time their waits for replies
     * from here. Its failure (a port that cannot drain) changes nothing already sent.
     * Flow control is off, so the line drains at its own pace whatever the far side
     * does (and a pty passes the bytes on at once): the drain cannot wait on a peer. */
    while (tcdrain(ss->fd) != 0 && errno == EINTR) {
    }
    return aErrNone;
}

static aErr sSerialStreamPut(const uint8_t* byte, void* ref) {
    return sSerialStreamWrite(byte, 1, ref);
}

static aErr sSerialStreamDelete(void* ref) {
    aSerialStream* ss = ref;
    if (!aVALIDSS(ss)) return aErrParam;
    if (ss->fd >= 0) {
        if (ss->haveSaved) tcsetattr(ss->fd, TCSANOW, &ss->saved);
        close(ss->fd);
        ss->fd = -1;
        ss->haveSaved = false;
        memset(&ss->saved, 0, sizeof(ss->saved));
    }
    ss->check = 0;
    free(ss);
    return aErrNone;
}

static aErr sOpenError(int error) {
    if (error == ENOENT) return aErrNotFound;
    if (error == EACCES) return aErrPermission;
    return aErrIO;
}

/* A failure after the open leaves the port open: the caller's delete closes it. */
static aErr sStreamOpenSerial(aSerialStream* ss, uint8_t parity, uint32_t dataBits,
                              uint32_t stopBits) {
    /* O_NONBLOCK also keeps the open from waiting for carrier on a modem line. */
    ss->fd = open(ss->portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ss->fd < 0) {
        int error = errno;
        ss->fd = -1;
        return sOpenError(error);
    }
    if (tcgetattr(ss->fd, &ss->saved) != 0) return aErrIO;
    ss->haveSaved = true;

    /* Starting from the found attributes keeps the line discipline and the other
     * control characters. */
    struct termios* applied = &ss->applied;
    *applied = ss->saved;
    applied->c_iflag = (tcflag_t)IGNBRK | (parity ? (tcflag_t)IGNPAR : 0u);
    applied->c_oflag = 0;
    applied->c_cflag = (tcflag_t)(CREAD | CLOCAL) |
                       (dataBits == 0 ? (tcflag_t)CS8 : (tcflag_t)CS7) |
                       (stopBits == 1 ? (tcflag_t)CSTOPB : 0u) | (parity ? (tcflag_t)PARENB : 0u);
    applied->c_lflag = 0;
    applied->c_cc[VMIN] = 0;
    applied->c_cc[VTIME] = 0;
    speed_t speed = sSpeeds[ss->baudIndex].constant;
    if (cfsetispeed(applied, speed) != 0 || cfsetospeed(applied, speed) != 0) return aErrIO;
    if (tcsetattr(ss->fd, TCSANOW, applied) != 0) return aErrIO;
    if (tcflush(ss->fd, TCIOFLUSH) != 0) return aErrIO;
    return aErrNone;
}

/* A baud index above 7 would configure B0, which hangs the line up. */
static aErr sCheckArguments(const char* portName, uint32_t baudIndex, uint32_t dataBits,
                            uint32_t stopBits, aStream** stream) {
    if (!portName || !stream || dataBits > 1 || stopBits > 1) return aErrResource;
    if (baudIndex > aSERIAL_BAUD_INDEX_MAX) return aErrParam;
    if (strnlen(portName, aSERIAL_PORT_NAME_SIZE) >= aSERIAL_PORT_NAME_SIZE)
        return aErrFileNameLength;
    return aErrNone;
}

static aSerialStream* sNewRecord(const char* portName, uint32_t baudIndex) {
    aSerialStream* ss = calloc(1, sizeof(aSerialStream));
    if (!ss) return NULL;
    ss->baudIndex = baudIndex;
    memcpy(ss->portName, portName, strlen(portName) + 1);
    ss->fd = -1;
    ss->check = aSERIALSTREAM_CHECK;
    return ss;
}

aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, uint8_t parity,
                          uint32_t dataBits, uint32_t stopBits, aStream** stream) {
    if (stream) *stream = NULL;
    aErr err = sCheckArguments(portName, baudIndex, dataBits, stopBits, stream);
    if (err != aErrNone) return err;

    aSerialStream* ss = sNewRecord(portName, baudIndex);
    if (!ss) return aErrResource;
    aStream* serial = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                     sSerialStreamDelete, ss);
    if (!serial) {
        sSerialStreamDelete(ss);
        return aErrResource;
    }
    err = sStreamOpenSerial(ss, parity, dataBits, stopBits);
    if (err != aErrNone) {
        aStream_Destroy(&serial);
        return err;
    }
    *stream = serial;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* portName, uint32_t baudIndex, uint8_t parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** stream) {
    if (stream) *stream = NULL;
    aErr err = sCheckArguments(portName, baudIndex, dataBits, stopBits, stream);
    if (err != aErrNone) return err;

    aSerialStream* ss = sNewRecord(portName, baudIndex);
    if (!ss) return aErrResource;
    err = sStreamOpenSerial(ss, parity, dataBits, stopBits);
    if (err == aErrNone)
        err = aStream_CreateCobsEncoding(sSerialStreamGetWaiting, sSerialStreamPut,
                                         sSerialStreamWrite, sSerialStreamDelete, ss, stream);
    if (err != aErrNone) sSerialStreamDelete(ss);
    return err;
}
